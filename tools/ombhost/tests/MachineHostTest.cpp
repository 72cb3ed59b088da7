// ombhost on the emulated machine booted through ombemu.h, as a host
// developer runs it on Linux: its command line in an emulated process of the
// machine while the audio engine plays a file sox made into the render
// endpoint (ombhost capture) or records the capture endpoint into a file
// (ombhost render). Every file is read by sox, and each direction must carry
// the source exactly: silence, every frame of it in order, silence.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <string>

#include "HostTool.h"
#include "ToolRun.h"
#include "ombemu.h"

using ombemu_tests::Scratch;
using ombemu_tests::Shell;
using ombemu_tests::SoxSamples;

namespace {

struct Case {
    const char *sox;    // the source's format as sox writes it
    const char *format; // the same as ombhost's --format
    uint32_t mode;      // the engine's
};

const Case cases[] = {
    {"-r 48000 -c 2 -b 16 -e signed", "48000,16,2", OMBEMU_MODE_EVENT},
    {"-r 44100 -c 1 -b 24 -e signed", "44100,24,1", OMBEMU_MODE_PACKET},
    {"-r 96000 -c 2 -b 32 -e signed", "96000,32,2", OMBEMU_MODE_POLL},
};

// ombhost's threads are threads of the emulated process it runs in.
std::function<void()> StartThread(std::function<void()> body)
{
    auto *run = new std::function<void()>(std::move(body));
    const LPTHREAD_START_ROUTINE entry = [](LPVOID context) -> DWORD {
        auto *f = static_cast<std::function<void()> *>(context);
        (*f)();
        delete f;
        return 0;
    };
    HANDLE thread = CreateThread(nullptr, 0, entry, run, 0, nullptr);
    if (thread == nullptr) {
        delete run;
        return [] {};
    }
    return [thread] {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    };
}

// One run of ombhost in a process of its own, its output kept.
struct ToolRun {
    std::vector<std::string> args;
    std::atomic<bool> interrupted{false}; // Ctrl-C
    int status = -1;
    std::string out, err;

    static void Main(void *self)
    {
        auto *run = static_cast<ToolRun *>(self);
        std::vector<const char *> argv{"ombhost"};
        for (const std::string &a : run->args)
            argv.push_back(a.c_str());
        char *outText = nullptr, *errText = nullptr;
        size_t outSize = 0, errSize = 0;
        ombhost::Environment env;
        env.out = open_memstream(&outText, &outSize);
        env.err = open_memstream(&errText, &errSize);
        env.startThread = StartThread;
        env.interrupted = &run->interrupted;
        run->status = ombhost::Run(static_cast<int>(argv.size()), argv.data(), env);
        fclose(env.out);
        fclose(env.err);
        run->out = outText;
        run->err = errText;
        free(outText);
        free(errText);
    }
};

// Whether the recording is silence, then the source whole, then silence.
::testing::AssertionResult CarriesExactly(const std::string &recording, const std::string &source)
{
    if (source.empty())
        return ::testing::AssertionFailure() << "sox made no source";
    const size_t at = recording.find(source);
    if (at == std::string::npos)
        return ::testing::AssertionFailure() << "the source is not in the recording whole (" << recording.size()
                                             << " bytes recorded, " << source.size() << " played)";
    auto silent = [](const std::string &s) { return s.find_first_not_of('\0') == std::string::npos; };
    if (!silent(recording.substr(0, at)) || !silent(recording.substr(at + source.size())))
        return ::testing::AssertionFailure() << "more than silence around the source, which begins at byte " << at;
    return ::testing::AssertionSuccess();
}

class MachineHost : public testing::TestWithParam<Case> {
protected:
    void SetUp() override
    {
        OmbEmuOptions options{sizeof options, OMBEMU_CLOCK_VIRTUAL, 0, 0};
        ASSERT_EQ(OmbEmu_Boot(&options), 0);
        ASSERT_EQ(OmbEmu_CreateProcess(&process), 0);
        source = scratch / "source.wav";
        Shell(std::string("sox -n ") + GetParam().sox + " '" + source + "' synth 0.25 sine 300 sine 500 gain -3");
        sourceSamples = SoxSamples(source);
    }
    void TearDown() override
    {
        OmbEmu_DeleteProcess(process);
        EXPECT_EQ(OmbEmu_Shutdown(), 0) << "the driver unloaded with nothing left behind";
    }

    // Starts ombhost in its process and then the engine's stream, which
    // waits for ombhost to make the endpoint active.
    void Start(ToolRun &tool, const std::function<int32_t(const OmbEmuStreamOptions *)> &stream)
    {
        ASSERT_EQ(OmbEmu_StartThread(process, &ToolRun::Main, &tool), 0);
        const OmbEmuStreamOptions options{sizeof options, GetParam().mode, 10, 0};
        EXPECT_EQ(stream(&options), 0) << "the engine's stream";
    }
    // Waits for ombhost to end and reads the stream's report.
    OmbEmuReport Finish(ToolRun &tool, uint32_t endpoint)
    {
        OmbEmu_JoinProcess(process);
        EXPECT_EQ(tool.status, 0) << tool.err;
        OmbEmuReport report{};
        report.Size = sizeof report;
        EXPECT_EQ(OmbEmu_GetReport(endpoint, &report), 0);
        EXPECT_EQ(OmbEmu_StopStream(endpoint), 0);
        return report;
    }

    Scratch scratch;
    OmbEmuProcess *process = nullptr;
    std::string source, sourceSamples;
};

} // namespace

// ombhost capture: the file holds exactly what the engine played, in the
// pipe's format.
TEST_P(MachineHost, CaptureWritesWhatWindowsPlayed)
{
    const std::string captured = scratch / "captured.wav";
    ToolRun tool;
    tool.args = {"capture", captured, "--format", GetParam().format, "--quiet"};
    Start(tool, [&](const OmbEmuStreamOptions *options) {
        const OmbEmuSource played{OMBEMU_SOURCE_FILE, 0, source.c_str(), nullptr, nullptr};
        return OmbEmu_Play(&played, options);
    });
    // Ctrl-C once the device has played the whole file, and a little more.
    OmbEmuReport report{};
    report.Size = sizeof report;
    for (int waited = 0; waited < 50 && report.State != OMBEMU_STREAM_FINISHED; ++waited) {
        OmbEmu_Sleep(100);
        OmbEmu_GetReport(OMBEMU_RENDER, &report);
    }
    EXPECT_EQ(report.State, OMBEMU_STREAM_FINISHED) << "the engine played the whole file";
    OmbEmu_Sleep(100);
    tool.interrupted = true;
    report = Finish(tool, OMBEMU_RENDER);
    EXPECT_TRUE(report.SourceEnded);
    EXPECT_EQ(report.Underruns, 0u);

    const auto soxi = [](const std::string &path) {
        return Shell("soxi -r '" + path + "'") + Shell("soxi -c '" + path + "'") + Shell("soxi -b '" + path + "'");
    };
    EXPECT_EQ(soxi(captured), soxi(source)) << "rate, channels and bits of the pipe, which are the file's";
    EXPECT_TRUE(CarriesExactly(SoxSamples(captured), sourceSamples));
}

// ombhost render: the engine's recording holds exactly the file ombhost
// played, and ombhost ended by itself after it.
TEST_P(MachineHost, RenderGivesWindowsTheFile)
{
    const std::string recorded = scratch / "recorded.wav";
    ToolRun tool;
    tool.args = {"render", source, "--quiet"};
    Start(tool, [&](const OmbEmuStreamOptions *options) {
        const OmbEmuSink sink{recorded.c_str(), nullptr, nullptr};
        return OmbEmu_Record(&sink, options);
    });
    const OmbEmuReport report = Finish(tool, OMBEMU_CAPTURE);
    EXPECT_EQ(report.Overruns, 0u);
    EXPECT_TRUE(CarriesExactly(SoxSamples(recorded), sourceSamples));
}

INSTANTIATE_TEST_SUITE_P(Formats, MachineHost, testing::ValuesIn(cases), [](const testing::TestParamInfo<Case> &info) {
    const std::string format = info.param.format;
    std::string name;
    for (char c : format)
        name += c == ',' ? '_' : c;
    return name;
});
