// ombhost end to end against the real driver, the audio engine's stream
// opened and run through kernel-streaming requests, in virtual time: what it
// captures is every frame the engine played, exactly; what it renders is the
// file, exactly, then silence; a tone; Ctrl-C; a trimmed clock; a pipe in use
// and a format the device refuses; info.
#include <math.h>
#include <stdio.h>
#include <string>
#include <vector>
#include "ControlProtocol.h"
#include "SampleConvert.h"
#include "ToolBench.h"
#include "WavReader.h"
#include "WavWriter.h"
#include "ombapi.h"

using namespace bench;

namespace {

struct CaptureCase {
    std::vector<std::string> options;
    wav::Format file;      // what the WAV file must hold
    uint32_t pipeFrameBytes;
    uint32_t bufferFrames; // the engine's buffer
    bool floatFile;
};

wav::Format Pcm(uint32_t rate, uint16_t channels, uint16_t container, uint16_t valid, uint32_t mask)
{
    return {wav::Encoding::Pcm, rate, channels, container, valid, mask};
}

std::vector<uint8_t> ReadWav(const std::string &path, wav::Format &format)
{
    wav::Reader reader;
    std::string error;
    EXPECT_TRUE(reader.Open(path.c_str(), error)) << error;
    format = reader.GetFormat();
    std::vector<uint8_t> data(reader.Frames().value_or(0) * format.FrameBytes());
    if (!data.empty()) {
        EXPECT_EQ(reader.Read(data.data(), *reader.Frames()), *reader.Frames());
    }
    return data;
}

void WriteWav(const std::string &path, const wav::Format &format, const std::vector<uint8_t> &data)
{
    wav::Writer writer;
    std::string error;
    ASSERT_TRUE(writer.Create(path.c_str(), format, wav::Layout::Auto, error)) << error;
    ASSERT_TRUE(writer.Write(data.data(), data.size() / format.FrameBytes(), error)) << error;
    ASSERT_TRUE(writer.Close(error)) << error;
}

bool Exists(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f != nullptr)
        fclose(f);
    return f != nullptr;
}

class HostTool : public ToolBench {};

} // namespace

// A second of capture in several formats: the file holds exactly the frames
// the engine played, in order, none lost, in the pipe's format (or as float).
TEST_F(HostTool, CaptureWritesEveryFramePlayed)
{
    const CaptureCase cases[] = {
        {{}, Pcm(48000, 2, 16, 16, 0), 4, 1920, false}, // a plain chunk, no mask
        {{"--format", "44100,24,2"}, Pcm(44100, 2, 24, 24, 0x3), 6, 1764, false},
        {{"--format", "96000,24,2,4", "--tick", "5"}, Pcm(96000, 2, 32, 24, 0x3), 8, 1920, false},
        {{"--format", "8000,8,1", "--tick", "20"}, Pcm(8000, 1, 8, 8, 0), 1, 640, false},
        {{"--format", "48000,16,6,2,0x60F"}, Pcm(48000, 6, 16, 16, 0x60F), 12, 1920, false},
        {{"--format", "48000,16,2", "--float"}, {wav::Encoding::Float, 48000, 2, 32, 32, 0}, 4, 1920, true},
    };
    int index = 0;
    for (const CaptureCase &c : cases) {
        SCOPED_TRACE(wav::Describe(c.file));
        const std::string path = "captured" + std::to_string(index++) + ".wav";
        std::vector<std::string> args{"capture", path, "--seconds", "1"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        PlayingEngine engine(PipeCapture, c.pipeFrameBytes, c.bufferFrames);
        const ToolResult result = RunTool(args, &engine);
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_NE(result.out.find("ombhost: captured " + std::to_string(engine.Taken()) + " frames"),
                  std::string::npos)
            << result.out;

        wav::Format format;
        const std::vector<uint8_t> data = ReadWav(path, format);
        EXPECT_EQ(format, c.file) << wav::Describe(format);
        const uint64_t frames = data.size() / c.file.FrameBytes();
        EXPECT_EQ(frames, engine.Taken()) << "every frame the host took is in the file";
        // A second of ticks, and the one the loop may still take while Stop
        // waits for it.
        EXPECT_GE(frames, c.file.sampleRate * 95 / 100);
        EXPECT_LE(frames, c.file.sampleRate * 103 / 100);
        std::vector<uint8_t> expected = engine.Signal(frames);
        if (c.floatFile) {
            std::vector<uint8_t> floats(data.size());
            const wav::Format pipe = Pcm(48000, 2, 16, 16, 0x3);
            wav::Convert(pipe, expected.data(), c.file, floats.data(), frames);
            expected = floats;
        }
        EXPECT_TRUE(data == expected) << "the file differs from what was played";
        remove(path.c_str());
    }
}

namespace {

struct RenderCase {
    wav::Format file;
    std::vector<std::string> options;
    wav::Format pipe; // what the engine records
    uint32_t bufferFrames;
};

} // namespace

// Files of several formats rendered: the engine records exactly the file's
// frames (converted where the pipe's format differs), then a buffer's worth of
// silence at least, and the tool ends by itself.
TEST_F(HostTool, RenderPlaysTheFileExactly)
{
    const wav::Format float48 = {wav::Encoding::Float, 48000, 2, 32, 32, 0};
    const RenderCase cases[] = {
        {Pcm(48000, 2, 16, 16, 0), {}, Pcm(48000, 2, 16, 16, 0x3), 1920},
        {Pcm(44100, 1, 24, 24, 0x4), {"--tick", "3"}, Pcm(44100, 1, 24, 24, 0x4), 1323},
        {Pcm(16000, 2, 8, 8, 0), {}, Pcm(16000, 2, 8, 8, 0x3), 640},
        {float48, {}, Pcm(48000, 2, 32, 32, 0x3), 1920},
        {Pcm(48000, 2, 16, 16, 0), {"--format", "48000,24,2,4"}, Pcm(48000, 2, 32, 24, 0x3), 1920},
    };
    int index = 0;
    for (const RenderCase &c : cases) {
        SCOPED_TRACE(wav::Describe(c.file));
        const std::string path = "source" + std::to_string(index++) + ".wav";
        const uint64_t frames = c.file.sampleRate * 7 / 10; // 0.7 s
        std::vector<uint8_t> source(frames * c.file.FrameBytes());
        for (size_t i = 0; i < source.size(); ++i)
            source[i] = PatternByte(i / c.file.FrameBytes(), static_cast<uint32_t>(i % c.file.FrameBytes()));
        if (c.file.encoding == wav::Encoding::Float) // full-scale values that 32-bit integers hold exactly
            for (size_t i = 0; i < source.size(); i += 4) {
                const float f = static_cast<float>(static_cast<int16_t>(source[i] | source[i + 1] << 8)) / 32768.0f;
                memcpy(&source[i], &f, 4);
            }
        WriteWav(path, c.file, source);
        std::vector<uint8_t> expected(frames * c.pipe.FrameBytes());
        wav::Convert(c.file, source.data(), c.pipe, expected.data(), frames);

        std::vector<std::string> args{"render", path};
        args.insert(args.end(), c.options.begin(), c.options.end());
        RecordingEngine engine(PipeRender, c.pipe.FrameBytes(), c.bufferFrames);
        const ToolResult result = RunTool(args, &engine);
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_NE(result.out.find("rendered " + std::to_string(frames) + " frames"), std::string::npos) << result.out;
        ASSERT_GE(engine.Frames(), frames + c.bufferFrames) << "the file, then a buffer of silence";
        const std::vector<uint8_t> &recorded = engine.Recorded();
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), recorded.begin())) << "the file arrived altered";
        const uint8_t silence = c.pipe.containerBits == 8 ? 0x80 : 0;
        size_t noise = 0;
        for (size_t i = expected.size(); i < recorded.size(); ++i)
            noise += recorded[i] != silence;
        EXPECT_EQ(noise, 0u) << "after the file only silence";
        remove(path.c_str());
    }
}

// A tone at half of full scale: its peaks and its zero crossings.
TEST_F(HostTool, RenderPlaysATone)
{
    RecordingEngine engine(PipeRender, 4, 1920);
    const ToolResult result = RunTool({"render", "--tone", "1000", "--seconds", "0.5"}, &engine);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("of a 1000 Hz tone"), std::string::npos) << result.out;
    const auto *samples = reinterpret_cast<const int16_t *>(engine.Recorded().data());
    const size_t frames = engine.Frames();
    ASSERT_GE(frames, 20000u);
    int peak = 0, crossings = 0;
    for (size_t f = 0; f < frames; ++f) {
        EXPECT_EQ(samples[2 * f], samples[2 * f + 1]) << "both channels alike";
        peak = abs(samples[2 * f]) > peak ? abs(samples[2 * f]) : peak;
        if (f > 0 && (samples[2 * f - 2] < 0) != (samples[2 * f] < 0))
            ++crossings;
    }
    EXPECT_NEAR(peak, 16384, 2);
    EXPECT_NEAR(crossings, 2.0 * 1000 * frames / 48000, 2);
}

// Ctrl-C while capturing without a time limit: the tool stops at its next
// look, within a poll, and the file holds every frame taken.
TEST_F(HostTool, CtrlCStopsCaptureCleanly)
{
    PlayingEngine engine(PipeCapture, 4, 1920);
    int64_t raisedAt = -1, lastRest = 0;
    const ToolResult result = RunTool({"capture", "interrupted.wav"}, &engine, [&](int64_t ms) {
        lastRest = ms;
        if (ms == 730) {
            interrupted = true;
            raisedAt = ms;
        }
    });
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("stopped by Ctrl-C"), std::string::npos) << result.out;
    EXPECT_LE(lastRest - raisedAt, 50 + 15) << "a poll, then Stop waits for the loop";
    wav::Format format;
    const std::vector<uint8_t> data = ReadWav("interrupted.wav", format);
    EXPECT_EQ(data.size() / 4, engine.Taken());
    EXPECT_TRUE(data == engine.Signal(engine.Taken()));
    remove("interrupted.wav");
}

// The clock trim reaches the host: at 1000 ppm fast, every tick leaves the
// device position where 48.048 frames a millisecond put it.
TEST_F(HostTool, TrimRunsTheDeviceClockFast)
{
    PlayingEngine engine(PipeCapture, 4, 1920);
    int checked = 0;
    const ToolResult result = RunTool({"capture", "trimmed.wav", "--seconds", "2", "--trim-ppm", "1000"}, &engine,
                                      [&](int64_t ms) {
                                          if (ms % 10 != 0 || ms == 0 || ms >= 2000)
                                              return; // between ticks, or the tool stops
                                          const double due = ms * 48.048;
                                          EXPECT_NEAR(static_cast<double>(engine.Taken()), due, 0.5) << "at " << ms;
                                          ++checked;
                                      });
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(checked, 199);
    remove("trimmed.wav");
}

// A pipe another host holds, and a minimal buffer the device refuses: a
// clear message, exit 1, and no file.
TEST_F(HostTool, RefusalsLeaveNoFile)
{
    using namespace Ombrivo;
    class Idle : public CallbackInterface {
        unsigned TransferData(void *, unsigned bytes) override { return bytes; }
    } idle;
    standin::io::boundary::EnterProcess(process);
    OmbDriver *driver = nullptr;
    ASSERT_EQ(OmbDriver::Create(driver, ControlInterfaceClass), S_OK);
    ASSERT_EQ(driver->Open(), S_OK);
    OmbHost *other = nullptr;
    ASSERT_EQ(OmbHost::Create(other, *driver, true, idle), S_OK);
    ASSERT_EQ(other->Start(WaveFormat(48000, 16, 2, 2, 3), 0), S_OK);
    standin::io::boundary::LeaveProcess();

    ToolResult result = RunTool({"capture", "busy.wav", "--seconds", "1"}, nullptr);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "ombhost: the capture pipe is in use by another host\n");
    EXPECT_FALSE(Exists("busy.wav"));

    standin::io::boundary::EnterProcess(process);
    other->Delete();
    driver->Delete();
    standin::io::boundary::LeaveProcess();

    // 1 s of 8 channels of 32 bits at 384 kHz is far beyond the pipe's 512 KiB.
    result = RunTool({"capture", "refused.wav", "--format", "384000,32,8", "--buffer", "1000"}, nullptr);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("ombhost: the device did not take the capture pipe with 384000/32(4)/8(63f) and "
                               "1000 ms: 7/87 - ",
                               0),
              0u)
        << result.err;
    EXPECT_FALSE(Exists("refused.wav"));
}

// info with a free render pipe that has a format and a stream, and a capture
// pipe another host holds.
TEST_F(HostTool, InfoShowsBothPipes)
{
    ToolResult result = RunTool({"info"}, nullptr);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("render pipe (the host renders what Windows applications record):\n  free\n"
                              "  format:         none set (the driver's initial 48000/16(2)/2(3))\n"
                              "  minimal buffer: none\n  stream:         none attached\n"),
              std::string::npos)
        << result.out;

    // A host sets a format and a minimal buffer; the audio engine opens the
    // endpoint's stream with that format, takes a buffer of 20 ms and pauses
    // it, the host's loop answering each step; then the host leaves, the
    // stream stays.
    class Idle : public Ombrivo::CallbackInterface {
        unsigned TransferData(void *, unsigned bytes) override { return bytes; }
    } idle;
    standin::io::boundary::EnterProcess(process);
    Ombrivo::OmbDriver *driver = nullptr;
    ASSERT_EQ(Ombrivo::OmbDriver::Create(driver, Ombrivo::ControlInterfaceClass), S_OK);
    ASSERT_EQ(driver->Open(), S_OK);
    Ombrivo::OmbHost *setter = nullptr;
    ASSERT_EQ(Ombrivo::OmbHost::Create(setter, *driver, false, idle), S_OK);
    ASSERT_EQ(setter->Start(Ombrivo::WaveFormat(44100, 24, 2, 4, 0), 10), S_OK);
    const auto joinLoop = StartInProcess(process, [setter] { setter->EventLoop(10); });
    ks_client::Engine engine(PipeRender);
    ASSERT_EQ(engine.OpenProposed(), 0);
    ASSERT_EQ(engine.AllocateBuffer(882 * 8, 2), 0);
    ASSERT_EQ(engine.Step(KSSTATE_ACQUIRE), 0);
    ASSERT_EQ(engine.Step(KSSTATE_PAUSE), 0);
    ASSERT_EQ(setter->Stop(), S_OK);
    joinLoop();
    setter->Delete();
    Ombrivo::OmbPipe *pipe = nullptr;
    ASSERT_EQ(driver->CreatePipe(pipe, true), S_OK); // held while info runs
    standin::io::boundary::LeaveProcess();

    result = RunTool({"info"}, nullptr);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("  format:         44100/24(4)/2(3)\n  minimal buffer: 441 frames (10.0 ms)\n"
                              "  stream:         attached, pause\n  stream format:  44100/24(4)/2(3)\n"
                              "  buffer:         882 frames (20.0 ms), device position 0\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("capture pipe (the host captures what Windows applications play):\n  in use by a host\n"),
              std::string::npos)
        << result.out;
    standin::io::boundary::EnterProcess(process);
    pipe->Delete();
    driver->Delete();
    standin::io::boundary::LeaveProcess();
}

// On a terminal the progress line comes back to its start and shows the
// time, the frames and the late ticks.
TEST_F(HostTool, ProgressLineOnATerminal)
{
    PlayingEngine engine(PipeCapture, 4, 1920);
    const ToolResult result = RunTool({"capture", "progress.wav", "--seconds", "1"}, &engine, {}, true);
    ASSERT_EQ(result.status, 0) << result.err;
    ASSERT_EQ(result.err.back(), '\n');
    // Each line: the time, the frames handed out, the late ticks, the state.
    double lastTime = 0;
    unsigned long long lastFrames = 0;
    int lines = 0;
    size_t at = 0;
    while ((at = result.err.find('\r', at)) != std::string::npos) {
        double time = 0;
        unsigned long long frames = 0, late = 1;
        char state[32] = {};
        ASSERT_EQ(sscanf(result.err.c_str() + ++at, "ombhost: capture %lf s %llu frames %llu late ticks %31s", &time,
                         &frames, &late, state),
                  4)
            << result.err.substr(at);
        EXPECT_GT(time, lastTime);
        EXPECT_GT(frames, lastFrames);
        EXPECT_NEAR(frames, time * 48000, 2400 + 480); // the time shows tenths
        EXPECT_EQ(late, 0u);
        EXPECT_STREQ(state, "running");
        lastTime = time;
        lastFrames = frames;
        ++lines;
    }
    EXPECT_GE(lines, 3);
    remove("progress.wav");
}

// Input the tool cannot use ends it before the device is touched.
TEST_F(HostTool, UnusableInputIsRefused)
{
    const wav::Format twelve = Pcm(48000, 12, 16, 16, 0);
    WriteWav("twelve.wav", twelve, std::vector<uint8_t>(twelve.FrameBytes() * 10));
    ToolResult result = RunTool({"render", "twelve.wav"}, nullptr);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "ombhost: twelve.wav: 48000 Hz, 12 channels, 16-bit PCM cannot go through the device "
                          "(8000 to 384000 Hz, 8 to 32 bits, 1 to 8 channels)\n");
    const wav::Format stereo = Pcm(44100, 2, 16, 16, 0);
    WriteWav("stereo.wav", stereo, std::vector<uint8_t>(40));
    result = RunTool({"render", "stereo.wav", "--format", "48000,16,2"}, nullptr);
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("no resampling"), std::string::npos) << result.err;
    FILE *f = fopen("text.wav", "wb");
    fputs("not a wave file at all", f);
    fclose(f);
    result = RunTool({"render", "text.wav"}, nullptr);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "ombhost: text.wav: not a RIFF WAVE file\n");
    for (const char *name : {"twelve.wav", "stereo.wav", "text.wav"})
        remove(name);
}

// Half a minute of waiting for a stream that never comes passes at once on
// the self-advancing clock, and takes exactly the virtual time asked for.
TEST_F(HostTool, WaitingForAStreamTakesVirtualTimeOnly)
{
    LARGE_INTEGER before, after;
    QueryPerformanceCounter(&before);
    const ToolResult result = RunTool({"capture", "never-runs.wav", "--seconds", "30"}, nullptr);
    QueryPerformanceCounter(&after);
    EXPECT_EQ(result.status, 0) << result.err;
    // The half minute asked for, and Stop's wait for the loop (one 15 ms poll).
    EXPECT_GE(after.QuadPart - before.QuadPart, 30 * 10'000'000);
    EXPECT_LE(after.QuadPart - before.QuadPart, 30 * 10'000'000 + 15 * 10'000);
    wav::Format format;
    EXPECT_TRUE(ReadWav("never-runs.wav", format).empty());
    remove("never-runs.wav");
}
