// What driver-side tests use to act as a client: emulated client processes,
// opening a pipe by its path, and control requests built as a client builds
// them, sent through the platform's I/O manager.
#pragma once

#include <gtest/gtest.h>
#include <io_boundary.h>
#include <string.h>
#include <optional>
#include "ControlProtocol.h"
#include "DriverUnderTest.h"
#include "Engine.h"
#include "Statuses.h"

namespace core_tests {

namespace boundary = standin::io::boundary;
namespace dut = driver_under_test;
using ks_client::Engine;
using boundary::Handle;
using boundary::Status;

using namespace test_statuses;

// An emulated client process, ended (its handles closed) when it goes.
class ClientProcess {
public:
    explicit ClientProcess(bool is32Bit = false) : id(boundary::CreateClientProcess(is32Bit)) {}
    ~ClientProcess() { End(); }
    ClientProcess(const ClientProcess &) = delete;
    ClientProcess &operator=(const ClientProcess &) = delete;
    void End()
    {
        if (!ended)
            boundary::EndClientProcess(id);
        ended = true;
    }
    boundary::ProcessId id;
    bool ended = false;
};

// Runs the calling thread in a process until the scope ends.
class InProcess {
public:
    explicit InProcess(const ClientProcess &process) { boundary::EnterProcess(process.id); }
    ~InProcess() { boundary::LeaveProcess(); }
    InProcess(const InProcess &) = delete;
    InProcess &operator=(const InProcess &) = delete;
};

inline Status OpenPath(const std::u16string &path, Handle *handle)
{
    return driver_under_test::OpenAsClient(path, handle);
}

inline Status OpenPipe(int pipe, Handle *handle) { return OpenPath(dut::PipePath(pipe), handle); }

struct Reply {
    Status status;
    uint64_t information;
};

inline Reply Send(Handle file, uint32_t code, const void *input, uint32_t inputLength, void *output = nullptr,
                  uint32_t outputLength = 0)
{
    Reply reply{};
    reply.status = boundary::DeviceControl(file, code, input, inputLength, output, outputLength, &reply.information);
    return reply;
}

// A request of `code` whose body is `body`, after the version-3 header.
template <typename Body>
Reply SendBody(Handle file, uint32_t code, const Body &body, uint32_t version = DRIVER_REQ_VERSION)
{
    uint8_t input[4 + sizeof(Body)];
    memcpy(input, &version, 4);
    memcpy(input + 4, &body, sizeof(Body));
    return Send(file, code, input, sizeof input);
}

inline Reply SendHeaderOnly(Handle file, uint32_t code, void *output = nullptr, uint32_t outputLength = 0)
{
    const DriverReq header{DRIVER_REQ_VERSION};
    return Send(file, code, &header, sizeof header, output, outputLength);
}

// The block's address in the calling process (0 on failure).
inline uint64_t GetCommonData(Handle file)
{
    uint64_t address = 0;
    const Reply reply = SendHeaderOnly(file, ReqGetCommonData, &address, sizeof address);
    return reply.status == Success ? address : 0;
}

inline Reply SetFormat(Handle file, uint32_t sr, uint32_t bps, uint32_t nc, uint32_t bpc, uint32_t cc)
{
    return SendBody(file, ReqSetFormat, DataFormatDesc{sr, bps, nc, bpc, cc});
}

inline Reply SetMinimalBufferSize(Handle file, uint32_t frames)
{
    return SendBody(file, ReqSetMinimalBufferSize, frames);
}

inline Reply Notify(Handle file, uint32_t code) { return SendBody(file, ReqNotify, code); }

inline Reply RegisterEvent(Handle file, Handle event) { return SendBody(file, ReqSetNotificationEvent, event); }

// Creates an auto-reset event in the calling process and registers it.
inline Handle CreateAndRegisterEvent(Handle file)
{
    Handle event = nullptr;
    EXPECT_EQ(boundary::CreateEvent(false, false, &event), Success);
    EXPECT_EQ(RegisterEvent(file, event).status, Success);
    return event;
}

// The core loaded, the test thread in a client process that has the render
// pipe open; everything goes again at the end of the test.
class RenderPipeTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dut::Load());
        block = &dut::Block(PipeRender);
        in.emplace(process);
        ASSERT_EQ(OpenPipe(PipeRender, &pipe), Success);
        view = reinterpret_cast<volatile CommonDataDesc *>(GetCommonData(pipe));
        ASSERT_NE(view, nullptr);
    }
    void TearDown() override
    {
        in.reset();
        process.End();
        dut::Unload();
    }

    ClientProcess process;
    std::optional<InProcess> in;
    Handle pipe = nullptr;
    const CommonDataDesc *block = nullptr;   // the driver's view of the render pipe's block
    volatile CommonDataDesc *view = nullptr; // the client's view of it
};

} // namespace core_tests
