// --decode-trace: traces recorded from the simulated interface and device during a
// calibration and an interface refresh read back frame by frame, and a damaged
// trace (noise, a cut-off frame, a line that is no burst) reads without error.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/CalibrationCycle.h"
#include "app/console/Modes.h"
#include "app/console/TraceDecoder.h"
#include "link/BX2Frames.h"
#include "serial/SerialPort.h"
#include "sim/Simulator.h"
#include "support/Dialogs.h"

namespace {

class TQuietView : public TCycleView {
 public:
  void AddLog(const std::string&, bool, uint32_t, TLogStyle, bool) override {}
  void SelectPortItem(int) override {}
  void DeviceDone(TDeviceOutcome outcome) override { Outcomes.push_back(outcome); }
  std::vector<TDeviceOutcome> Outcomes;
};

// Runs one device on the simulator with the trace hook on; returns the trace text.
std::string RecordTrace(const TSimOptions& options) {
  std::string trace;
  const auto start = TLineClock::now();
  SetGlobalSerialTrace([&](const TTraceBurst& burst) {
    trace +=
        TraceLineText(std::chrono::duration<double, std::milli>(burst.When - start).count(), burst);
  });
  auto previous = SetDialogHandler(std::make_unique<TConsoleDialogs>(TAnswerMode::Yes, false));
  {
    TSimulation sim(options);
    TQuietView view;
    TCalibrationCycle cycle(view);
    cycle.Initialise();
    cycle.ChoosePortNumber(static_cast<uint32_t>(sim.RegisterAsPort()));
    for (int i = 0; i < 60 && view.Outcomes.empty(); ++i) cycle.TestConnection();
    EXPECT_EQ(view.Outcomes, std::vector<TDeviceOutcome>{TDeviceOutcome::Ok});
  }
  SetGlobalSerialTrace({});
  SetDialogHandler(std::move(previous));
  return trace;
}

size_t Count(const std::vector<std::string>& lines, const std::string& part) {
  return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.find(part) != std::string::npos;
  }));
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

TEST(TraceDecoder, CalibrationTraceReadsAsTheDialogue) {
  TSimOptions options;
  options.CalibrationSource = 1003;  // 6419 = 0x1913
  const auto lines = DecodeTrace(RecordTrace(options));
  const std::string text = Joined(lines);
  EXPECT_GE(Count(lines, "'V' ask for the interface version and mode (detection)"), 1u) << text;
  EXPECT_GE(Count(lines, "'V' interface version 1130132, KMBus mode"), 1u) << text;
  EXPECT_GE(Count(lines, "'A' select device address 0"), 1u) << text;
  EXPECT_GE(Count(lines, "'A' address 0 selected"), 1u) << text;
  EXPECT_GE(Count(lines, "device request: version request"), 1u) << text;
  EXPECT_GE(Count(lines, "version reply"), 1u) << text;
  EXPECT_GE(Count(lines, "memory read of word 0x21C4"), 1u) << text;
  EXPECT_GE(Count(lines, "memory value 0x03EB = 1003"), 1u) << text;
  EXPECT_GE(Count(lines, "memory write 0x21A8 := 0x13"), 1u) << text;
  EXPECT_GE(Count(lines, "memory write 0x21A9 := 0x19"), 1u) << text;
  EXPECT_GE(Count(lines, "memory write 0x21C2 := 0x13"), 1u) << text;
  EXPECT_EQ(Count(lines, "wrong checksum"), 0u) << text;
  EXPECT_EQ(Count(lines, "not a trace line"), 0u) << text;
}

TEST(TraceDecoder, RefreshTraceTellsEveryBootLoaderLine) {
  TSimOptions options;
  options.InterfaceVersion = 1130120;  // older than the image the tool carries
  const auto lines = DecodeTrace(RecordTrace(options));
  const std::string text = Joined(lines);
  EXPECT_GE(Count(lines, "boot loader: connect 'P'"), 1u) << text;
  EXPECT_GE(Count(lines, "boot loader: 'V' boot loader version 113"), 1u) << text;
  const size_t written = Count(lines, "boot loader: write line ");
  ASSERT_GT(written, 10u) << text;
  const std::string last =
      "write line " + std::to_string(written) + " of " + std::to_string(written) + ", offset ";
  EXPECT_EQ(Count(lines, last), 1u) << text;
  EXPECT_EQ(Count(lines, "boot loader: 'N' accepted"), written) << text;
  EXPECT_EQ(Count(lines, "sum byte wrong"), 0u) << text;
}

TEST(TraceDecoder, NoiseCutOffFramesAndStrayLinesAreShownNotFatal) {
  const std::string trace =
      "     0.000 TX   2400 N 03 FF 58 05 A1\n"
      "    40.000 RX   2400 N 55 07 FF 58 82 01\n"  // a noise byte, then half a frame
      "    45.000 RX   2400 N 02 03 04 16\n"        // the rest of it
      "this line is not a burst\n"
      "   100.000 RX   2400 N 04 FF 41 01\n";  // cut off by the end of the trace
  const auto lines = DecodeTrace(trace);
  const std::string text = Joined(lines);
  EXPECT_EQ(Count(lines, "'X' device request: version request"), 1u) << text;
  EXPECT_EQ(Count(lines, "RX   2400 N  55"), 1u) << text;
  EXPECT_EQ(Count(lines, "  noise"), 1u) << text;
  EXPECT_EQ(Count(lines, "RX   2400 N  07 FF 58 82 01 02 03 04 16"), 1u) << text;
  EXPECT_EQ(Count(lines, "version reply (01 02 03 04)"), 1u) << text;
  EXPECT_EQ(Count(lines, "(not a trace line: this line is not a burst)"), 1u) << text;
  EXPECT_EQ(Count(lines, "04 FF 41 01"), 1u) << text;
  EXPECT_EQ(Count(lines, "cut-off frame (end of trace)"), 1u) << text;
}

TEST(TraceDecoder, ControlBytesAreEscapedAndEmptyBurstsShown) {
  const auto lines = DecodeTrace(
      "stray \x1b]0;title\x07 \x9b"
      "2J text\n"
      "     0.000 TX   2400 N   \n");  // a burst without bytes
  const std::string text = Joined(lines);
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  EXPECT_EQ(text.find('\x07'), std::string::npos) << text;
  EXPECT_EQ(Count(lines, "stray \\x1b]0;title\\x07"), 1u) << text;
  EXPECT_EQ(Count(lines, "TX   2400 N  "), 1u) << text;
}

// The file is read twice, line by line (boot lines counted, then told): the lines
// printed are those of the decoder over the whole text.
TEST(TraceDecoder, FileReadsAsTheTextDecodes) {
  TSimOptions options;
  const std::string trace = RecordTrace(options) + "not a burst\n";
  QTemporaryDir dir;
  const QString path = dir.filePath("t.trace");
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(trace.data(), static_cast<qint64>(trace.size()));
  file.close();
  FILE* out = std::tmpfile();
  EXPECT_EQ(RunDecodeTrace(path.toStdString(), out, stderr), ceOk);
  std::rewind(out);
  std::string printed;
  for (int c; (c = std::fgetc(out)) != EOF;) printed += static_cast<char>(c);
  std::fclose(out);
  EXPECT_EQ(printed, Joined(DecodeTrace(trace)));
}

TEST(TraceDecoder, DeviceRepliesAreSplitAsTheDriverSplitsThem) {
  // 0x89 with 12 bytes: four 3-byte replies.
  std::string frame = "\x0E\xFF\x59\x89\x01\x02\x89\x03\x04\x89\x05\x06\x89\x07\x08";
  frame.push_back(static_cast<char>(-static_cast<int>(ByteSum(frame)) & 0xFF));
  TTraceBurst burst;
  burst.Baud = 2400;
  burst.Bytes.assign(frame.begin(), frame.end());
  const auto lines = DecodeTrace(TraceLineText(1.5, burst));
  EXPECT_EQ(Count(lines, "'Y' device reply"), 1u) << Joined(lines);
  EXPECT_EQ(Count(lines, "reply 0x89"), 4u) << Joined(lines);
}

TEST(TraceReader, ReadsWhatTheTraceWritesAndRefusesOtherText) {
  TTraceBurst burst;
  burst.Sent = true;
  burst.Baud = 19200;
  burst.Bytes = {0x00, 0xFF, 0x41};
  burst.Errors = 2;
  TTraceLine line;
  ASSERT_TRUE(ParseTraceLine(TraceLineText(12.25, burst), line));
  EXPECT_DOUBLE_EQ(line.Ms, 12.25);
  EXPECT_TRUE(line.Sent);
  EXPECT_EQ(line.Baud, 19200);
  EXPECT_EQ(line.Parity, 'N');
  EXPECT_EQ(line.Bytes, std::string("\x00\xFF\x41", 3));
  EXPECT_EQ(line.Errors, 2);
  for (const char* bad : {"", "12.0 TX", "1.0 XX 2400 N 01", "1.0 RX 2400 N 0G",
                          "1.0 RX 2400 N 123", "x RX 2400 N 01", "1.0 RX -5 N 01"})
    EXPECT_FALSE(ParseTraceLine(bad, line)) << bad;
}

}  // namespace
