// The pipes' shared pages on the systems the driver supports: the platform
// refuses the no-execute mapping flag before 6.2, so the pipes start there
// only if the driver leaves it out, and a client still gets both views.
#include <kernel_standin.h>
#include "CoreClient.h"

namespace core_tests {
namespace {

namespace kernel = standin::kernel;

struct Version {
    ULONG major, minor;
};

TEST(SharedPages, PipesStartAndMapOnEverySupportedVersion)
{
    for (const Version v : {Version{6, 0}, Version{6, 1}, Version{6, 2}, Version{10, 0}}) {
        kernel::SetVersion(v.major, v.minor);
        ASSERT_EQ(core_device::LoadAndAdd(), Success) << v.major << "." << v.minor;
        EXPECT_EQ(core_device::Start(), Success) << v.major << "." << v.minor;
        EXPECT_EQ(core_device::Block(PipeRender).BufferSizeBytes, PIPE_BUFFER_BYTES);
        // The user views take the same mapping flags.
        Handle file = nullptr;
        EXPECT_EQ(OpenPipe(PipeRender, &file), Success) << v.major << "." << v.minor;
        EXPECT_NE(GetCommonData(file), 0u);
        EXPECT_NE(core_device::Block(PipeRender).BufferAddress, 0u);
        boundary::CloseHandle(file);
        core_device::Unload();
    }
    kernel::SetVersion(10, 0);
}

} // namespace
} // namespace core_tests
