// The updater against a scripted text boot loader and on its own: the reply table of
// the line acknowledgements, the worker's frame order and counting, the boot block
// decisions and replacement, the frames built from a part, and the carry-over's
// access to the data image.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/firmware/UpdaterTestSupport.h"

namespace {

class UpdaterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartUpdaterUnits(); }

  // An updater connected (method 1) to the fake loader, with `parts` loaded.
  TThreadPtr<TUpdater> Connected(std::vector<std::unique_ptr<TCodePart>> parts) {
    TThreadPtr<TUpdater> updater = TUpdater::Create(&Rig.Port);
    for (auto& part : parts) TAccess::File(*updater).Add(std::move(part));
    updater->PrepareTarget(nullptr, true);
    const TResult connected = TAccess::ConnectDirect(*updater, 1, false);
    EXPECT_TRUE(connected) << connected.Text();
    return updater;
  }
  static std::vector<std::unique_ptr<TCodePart>> Parts(std::unique_ptr<TCodePart> a,
                                                       std::unique_ptr<TCodePart> b = nullptr) {
    std::vector<std::unique_ptr<TCodePart>> parts;
    parts.push_back(std::move(a));
    if (b) parts.push_back(std::move(b));
    return parts;
  }
  static std::string Message(int32_t id) { return FetchText(id); }
  static const TUpdaterStringIds& Ids() { return UpdaterStringIds(); }

  TDialogScope Dialogs;
  TFakeLoaderRig Rig;
};

TEST_F(UpdaterTest, ConnectsToTheTextLoaderAndIdentifiesIt) {
  auto updater = Connected(Parts(MakePart({})));
  EXPECT_EQ(updater->BootLoader().MethodNumber(), 1);
  EXPECT_EQ(updater->BootLoader().Facts().BootblockVersion, 113);
  EXPECT_EQ(updater->BootLoader().Facts().BootblockFirmwareVersion, 114);
  EXPECT_EQ(updater->BootLoader().Facts().DeviceId,
            std::string("BX2\x02\x11\x30\x01\x00\x00\x01", 10));
  EXPECT_EQ(updater->BootLoader().DeviceIdPrefix(), "");  // text methods have none
  EXPECT_EQ(updater->BootLoader().Facts().DeviceConfig, std::string(32, '\0'));
  EXPECT_FALSE(updater->BootLoader().Facts().LongConfig);
}

TEST_F(UpdaterTest, EachAcknowledgementOfTheReplyTable) {
  auto updater = Connected(Parts(MakePart({})));
  TAccess::Streamer(*updater).SetLineReplyTimeout(200);
  const std::string line = "W" + Str(MakeCodeLine(1)) + '\xEC';  // the sum of all is 0
  struct TCase {
    char Reply;
    std::string Frame;
    TUpdateState State;
    int32_t Message;  // -1: no message
  };
  const TCase cases[] = {
      {'N', line, TUpdateState::Running, -1},
      {'V', SyncBurst, TUpdateState::Running, -1},
      {'V', line, TUpdateState::CommError, Ids().UnexpectedResponse},
      {'B', line, TUpdateState::Unsuitable, Ids().BootstrapOverlap},
      {'D', line, TUpdateState::Unsuitable, Ids().IdError},
      {'E', line, TUpdateState::CommError, Ids().GeneralError},
      {'?', line, TUpdateState::CommError, Ids().UnexpectedResponse},
      {'\0', line, TUpdateState::CommError, Ids().NoResponse},
  };
  for (const TCase& c : cases) {
    Rig.Loader->ScriptLineReplies(std::string(1, c.Reply));
    TPartStreamer& streamer = TAccess::Streamer(*updater);
    streamer.Fail(TUpdateState::Running, TResult::Success());
    streamer.SendLine(c.Frame);
    // Every row went to the loader whole; the replies that accept it leave the run going.
    ASSERT_FALSE(Rig.Loader->Lines().empty());
    EXPECT_EQ(Rig.Loader->Lines().back(), c.Frame) << c.Reply;
    EXPECT_EQ(updater->State(), c.State) << c.Reply;
    EXPECT_EQ(updater->PartFailure().Text(), c.Message < 0 ? std::string() : Message(c.Message))
        << c.Reply;
  }
}

TEST_F(UpdaterTest, AFrameThatCannotBeSentIsATransmitError) {
  auto updater = Connected(Parts(MakePart({})));
  Rig.Line->Vanish();
  TAccess::Streamer(*updater).SetState(TUpdateState::Running);
  TAccess::Streamer(*updater).SendLine("W" + Str(MakeCodeLine(1)) + '\xEC');
  EXPECT_EQ(updater->State(), TUpdateState::CommError);
  EXPECT_EQ(updater->PartFailure().Text(), Message(Ids().ErrorDuringTransmit));
}

TEST_F(UpdaterTest, AFailureInTheMiddleStopsAfterThatFrame) {
  TPartLayout layout;
  layout.DataLines = 0;
  layout.CodeLines = 6;
  auto updater = Connected(Parts(MakePart(layout)));
  Rig.Loader->ScriptLineReplies("NNE");
  ASSERT_TRUE(TAccess::StartPart(*updater, "Main", true));
  ASSERT_TRUE(WaitUntil([&] { return TAccess::Paused(*updater); }));
  EXPECT_EQ(updater->State(), TUpdateState::CommError);
  EXPECT_EQ(updater->PartFailure().Text(), Message(Ids().GeneralError));
  EXPECT_EQ(Rig.Loader->Lines().size(), 3u);
  EXPECT_EQ(updater->FramesSent(), 2);
  EXPECT_LT(updater->Percent(), 100);
  // The port is still usable: the loader still answers a version query.
  const TResult identified = TAccess::Identify(*updater);
  EXPECT_TRUE(identified) << identified.Text();
}

TEST_F(UpdaterTest, ALostLineFailsAndASecondRunProgramsTheWholePart) {
  TPartLayout layout;
  layout.DataLines = 0;
  layout.CodeLines = 6;
  {
    auto updater = Connected(Parts(MakePart(layout)));
    TAccess::Streamer(*updater).SetLineReplyTimeout(300);
    Rig.Loader->ScriptLineReplies(std::string("NN\0", 3));  // the third line is never answered
    ASSERT_TRUE(TAccess::StartPart(*updater, "Main", true));
    ASSERT_TRUE(WaitUntil([&] { return TAccess::Paused(*updater); }));
    EXPECT_EQ(updater->State(), TUpdateState::CommError);
    EXPECT_EQ(updater->PartFailure().Text(), Message(Ids().NoResponse));
    EXPECT_EQ(Rig.Loader->Lines().size(), 3u);
    EXPECT_EQ(Rig.Loader->Restarts(), 0);  // left in its boot loader
  }
  auto again = Connected(Parts(MakePart(layout)));
  ASSERT_TRUE(TAccess::StartPart(*again, "Main", true));
  ASSERT_TRUE(WaitUntil([&] { return TAccess::Paused(*again); }));
  EXPECT_EQ(again->State(), TUpdateState::Finished);
  EXPECT_EQ(again->Percent(), 100);
  EXPECT_EQ(Rig.Loader->Lines().size(), 3u + 6u);
}

TEST_F(UpdaterTest, NotifierFollowsEveryFrameUpToAHundredPercent) {
  TPartLayout layout;
  layout.DataLines = 0;
  layout.CodeLines = 5;
  auto updater = Connected(Parts(MakePart(layout)));
  std::vector<std::pair<int, TUpdateState>> calls;
  ASSERT_TRUE(updater->ProgramMain(
      "BX2", true, [&](int percent, TUpdateState state) { calls.emplace_back(percent, state); }));
  ASSERT_TRUE(
      WaitUntil([&] { return !calls.empty() && calls.back().second == TUpdateState::Finished; }));
  EXPECT_EQ(calls.back().first, 100);
  for (size_t i = 1; i < calls.size(); ++i) EXPECT_LE(calls[i - 1].first, calls[i].first);
  EXPECT_EQ(calls.front(), std::make_pair(20, TUpdateState::Running));
  EXPECT_EQ(Rig.Loader->Lines().size(), 5u);
}

TEST_F(UpdaterTest, InterfaceTargetLeavesOutTheFourthDataBlock) {
  TPartLayout layout;
  layout.CodeLines = 2;
  auto updater = Connected(Parts(MakePart(layout)));
  TAccess::SetDeviceVersion(*updater, 2001203);  // reached through the interface
  for (bool reversed : {false, true}) {
    TAccess::File(*updater).SetDataReversed(reversed);
    const size_t before = Rig.Loader->Lines().size();
    ASSERT_TRUE(TAccess::StartPart(*updater, "Main", true));
    ASSERT_TRUE(WaitUntil([&] { return TAccess::Paused(*updater); }));
    EXPECT_EQ(updater->State(), TUpdateState::Finished);
    EXPECT_EQ(updater->FramesTotal(), 6);
    EXPECT_EQ(updater->FramesSent(), 6);
    EXPECT_EQ(updater->Percent(), 100);
    const auto lines = Rig.Loader->Lines();
    ASSERT_EQ(lines.size() - before, 5u);
    std::string dataBlocks;
    for (size_t i = before; i < lines.size(); ++i)
      if (lines[i][1] == 'D') dataBlocks.push_back(static_cast<char>('0' + lines[i][2]));
    EXPECT_EQ(dataBlocks, reversed ? "210" : "012");
  }
}

TEST_F(UpdaterTest, BootblockReplacementIsFollowedByOneFreshCheck) {
  for (const int after : {120, 114}) {
    TFakeLoaderRig rig;
    rig.Loader->FirmwareAfterRestart = static_cast<uint8_t>(after);
    TPartLayout main;
    main.DataLines = 0;
    main.CodeLines = 2;
    main.Entries = {"MinBFV=120"};
    TPartLayout boot;
    boot.Name = "Bootblock";
    boot.DataLines = 0;
    boot.CodeLines = 3;
    TThreadPtr<TUpdater> updater = TUpdater::Create(&rig.Port);
    TAccess::File(*updater).Add(MakePart(main));
    TAccess::File(*updater).Add(MakePart(boot));
    updater->PrepareTarget(nullptr, true);
    ASSERT_TRUE(TAccess::ConnectDirect(*updater, 1, false));
    const TResult ok = updater->ProgramMain("BX2", true);
    if (after == 120) {
      EXPECT_TRUE(ok) << ok.Text();
      EXPECT_EQ(rig.Loader->Lines().size(), 5u);  // boot block, then "Main"
      EXPECT_EQ(rig.Loader->Restarts(), 2);       // after each part
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(ok.Text(), Message(Ids().NewerBootblockRequired));
      EXPECT_EQ(updater->State(), TUpdateState::Unsuitable);
      EXPECT_EQ(rig.Loader->Lines().size(), 3u);  // never a second replacement
      EXPECT_EQ(rig.Loader->Restarts(), 1);
    }
  }
}

TEST_F(UpdaterTest, ResetInstructionAndTheBusResetFrame) {
  auto updater = Connected(Parts(MakePart({})));
  // Not forced: a boot loader above firmware 113 restarts the device on command.
  TAccess::ShowResetInstruction(*updater, true);
  EXPECT_TRUE(Dialogs.Handler->Shown().empty());
  EXPECT_TRUE(WaitUntil([&] { return Rig.Loader->Restarts() == 1; }));
  // Forced: the instruction is shown and the reset frame goes out twice at 2400 baud.
  TAccess::ShowResetInstruction(*updater, true, -1, true);
  ASSERT_EQ(Dialogs.Handler->Shown().size(), 1u);
  EXPECT_EQ(Dialogs.Handler->Shown()[0].rfind("Please reset!", 0), 0u);
  EXPECT_EQ(Rig.Loader->Restarts(), 2);
  EXPECT_EQ(Rig.Port.Baud(), 19200);
  EXPECT_FALSE(Rig.Line->HostState().Break);
  EXPECT_FALSE(updater->BootLoader().EchoCheck());
  // An inverter target gets its own instruction.
  TAccess::SetInverter(*updater, true);
  TAccess::ShowResetInstruction(*updater, false, -1, true);
  EXPECT_EQ(Dialogs.Handler->Shown().back().rfind("Please reset the Orvo/Telvik/Inverter!", 0), 0u);
}

TEST_F(UpdaterTest, StoppingWhileALineWaitsForItsAcknowledgement) {
  TPartLayout layout;
  layout.DataLines = 0;
  layout.CodeLines = 4;
  auto updater = Connected(Parts(MakePart(layout)));
  Rig.Loader->ScriptLineReplies(std::string(1, '\0'));  // never acknowledges
  ASSERT_TRUE(TAccess::StartPart(*updater, "Main", true));
  ASSERT_TRUE(WaitUntil([&] { return Rig.Loader->Lines().size() == 1; }));
  const auto started = std::chrono::steady_clock::now();
  updater.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

TEST_F(UpdaterTest, TheLineVanishingMidPartFailsAndStopsCleanly) {
  Rig.Loader->VanishAfterLines = 2;
  TPartLayout layout;
  layout.DataLines = 0;
  layout.CodeLines = 6;
  auto updater = Connected(Parts(MakePart(layout)));
  TAccess::Streamer(*updater).SetLineReplyTimeout(500);
  ASSERT_TRUE(TAccess::StartPart(*updater, "Main", true));
  ASSERT_TRUE(WaitUntil([&] { return TAccess::Paused(*updater); }));
  EXPECT_EQ(updater->State(), TUpdateState::CommError);
  EXPECT_FALSE(updater->PartFailure().Text().empty());
  EXPECT_EQ(updater->FramesSent(), 1);
  updater.reset();
}

// A boot loader that refuses the authorisation frame (method 2 with byte 00, method
// 3 with byte 06): a failure, the part's lines never sent, the device left in its
// boot loader; never a success.
TEST_F(UpdaterTest, RefusedAuthorisationFailsBeforeAnyLine) {
  for (const uint8_t loaderVersion : {115, 113}) {
    SCOPED_TRACE(loaderVersion);
    TLoaderRig<TFakeBinaryLoader> binary;
    TFakeBinaryLoader* loader = binary.Loader.get();
    loader->Version = loader->Firmware = loaderVersion;
    loader->AuthorisationReply = 'E';
    {
      TPartLayout layout;
      layout.Entries = {"Version=2601250", "Nonce=0011223344556677", "KeyID=1"};
      TThreadPtr<TUpdater> updater = TUpdater::Create(&binary.Port);
      TAccess::File(*updater).Add(MakePart(layout));
      updater->PrepareTarget(nullptr, false);
      std::string error;
      error = updater
                  ->Connect(
                      3, false, [](int) {}, "Device")
                  .Text();
      ASSERT_EQ(error, "");
      EXPECT_EQ(updater->BootLoader().MethodNumber(), loaderVersion > 114 ? 2 : 3);
      const TResult programmed = updater->ProgramMain("Device", true);
      EXPECT_FALSE(programmed);
      EXPECT_EQ(programmed.Text(), Message(Ids().GeneralError));
      EXPECT_EQ(updater->State(), TUpdateState::CommError);
      EXPECT_LT(updater->Percent(), 100);
      const auto commands = loader->Commands();
      ASSERT_FALSE(commands.empty());
      EXPECT_EQ(commands.back()[0], loaderVersion > 114 ? 0x00 : 0x06);  // nothing after it
    }
  }
}

TEST_F(UpdaterTest, BinaryLoaderCarriesTheDataAreaOverTheUpdate) {
  TLoaderRig<TFakeBinaryLoader> binary;
  TFakeBinaryLoader* loader = binary.Loader.get();
  for (int offset = 176; offset <= 224; ++offset)
    loader->Config[offset / 8] |= char(1 << (offset % 8));
  for (int i = 0; i < 256; ++i) loader->DataArea[i] = static_cast<char>(0x80 + i / 2);
  loader->DataArea[0xC4] = '\xEB';  // 1003, the source of conversion A
  loader->DataArea[0xC5] = '\x03';
  {
    TPartLayout layout;
    layout.Entries = {"Version=2601250", "Nonce=0011223344556677", "KeyID=1"};
    for (int offset = 168; offset <= 224; ++offset)
      layout.Config[offset / 8] |= char(1 << (offset % 8));
    TThreadPtr<TUpdater> updater = TUpdater::Create(&binary.Port);
    TAccess::File(*updater).Add(MakePart(layout));
    EXPECT_FALSE(updater->PrepareTarget(nullptr, false));
    EXPECT_EQ(TAccess::CarryVersion(*updater), 2601250);
    std::string error;
    error = updater
                ->Connect(
                    3, false, [](int) {}, "Device")
                .Text();
    ASSERT_EQ(error, "");
    EXPECT_EQ(updater->BootLoader().MethodNumber(),
              2);  // boot loader 115 answers the method 2 command set
    EXPECT_EQ(updater->BootLoader().Facts().ConfigWord, 1u);
    EXPECT_EQ(updater->BootLoader().DeviceIdPrefix(), "FAKE");
    const TResult programmed = updater->ProgramMain("Device", true);
    ASSERT_TRUE(programmed) << programmed.Text();

    // The image: the file's bytes, the device's calibration bytes, conversion A.
    std::string expected;
    for (int block = 0; block < 4; ++block)
      expected += std::string(64, static_cast<char>(0x10 + block));
    for (int offset = 176; offset <= 224; ++offset) expected[offset] = loader->DataArea[offset];
    expected[0xA8] = expected[0xC2] = '\x13';  // 6419 = 0x1913
    expected[0xA9] = expected[0xC3] = '\x19';
    std::string sent;
    std::string identity;
    for (const TSimBytes& command : loader->Commands()) {
      if (command[0] != 0x02) continue;
      identity.assign(command.begin() + 3, command.begin() + 7);
      sent.append(command.begin() + 7, command.begin() + 71);
    }
    EXPECT_EQ(identity, "FAKE");
    EXPECT_EQ(sent, expected);
    const auto commands = loader->Commands();
    EXPECT_EQ(commands.back(), TSimBytes{0x07});  // the boot loader restarts the device
  }
}

// ---- decisions and frames without a line ------------------------------------------

class UpdaterOfflineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartUpdaterUnits(); }
  void SetUp() override { Updater = TUpdater::Create(); }
  TCodePart& Add(const TPartLayout& layout) {
    return *TAccess::File(*Updater).Add(MakePart(layout));
  }

  TDialogScope Dialogs;
  TThreadPtr<TUpdater> Updater;
};

TEST_F(UpdaterOfflineTest, BootblockDecisions) {
  struct TCase {
    int Version, Firmware;
    QStringList Entries;
    bool WithBootblock, LongConfig;
    TAccess::TCheck Result;
  };
  const TCase cases[] = {
      {112, 100, {}, false, false, TAccess::TCheck::GoOn},
      {115, 100, {}, false, false, TAccess::TCheck::GoOn},
      {110, 100, {}, false, false, TAccess::TCheck::NotSupported},
      {116, 100, {}, false, false, TAccess::TCheck::NotSupported},
      {113, 113, {"MinBFV=114"}, false, false, TAccess::TCheck::NewerRequired},
      {113, 114, {"MinBFV=114", "MustBeBFV=0"}, false, false, TAccess::TCheck::GoOn},
      {113, 113, {"MustBeBFV=115"}, false, false, TAccess::TCheck::NewerRequired},
      {113, 115, {"MustBeBFV=371"}, false, false, TAccess::TCheck::GoOn},      // only the low byte
                                                                               // (115) counts
      {113, 113, {"MinBFV=114"}, true, true, TAccess::TCheck::NewerRequired},  // 38-byte
                                                                               // configuration
  };
  for (const TCase& c : cases) {
    TAccess::File(*Updater).Clear();
    TPartLayout layout;
    layout.Entries = c.Entries;
    Add(layout);
    if (c.WithBootblock) {
      TPartLayout boot;
      boot.Name = "Bootblock";
      Add(boot);
    }
    TAccess::Facts(*Updater).BootblockVersion = c.Version;
    TAccess::Facts(*Updater).BootblockFirmwareVersion = c.Firmware;
    TAccess::Facts(*Updater).LongConfig = c.LongConfig;
    EXPECT_EQ(TAccess::CheckBootblock(*Updater, true), c.Result) << c.Version << " " << c.Firmware;
  }
}

TEST_F(UpdaterOfflineTest, Version111ReversesTheDataLinesWithAPrecaution) {
  TCodePart& main = Add({});
  TAccess::Link(*Updater).SelectCommandSet(1);
  TAccess::Facts(*Updater).DeviceConfig = std::string(32, '\0');
  main.Lines[0] = "C" + QByteArray(32, '\x01');  // differs: the device's configuration is blank
  TAccess::Facts(*Updater).BootblockVersion = 111;
  TAccess::Facts(*Updater).BootblockFirmwareVersion = 111;
  EXPECT_EQ(TAccess::CheckBootblock(*Updater, false), TAccess::TCheck::GoOn);
  EXPECT_TRUE(main.DataReversed);
  EXPECT_TRUE(main.SkipData);
  EXPECT_TRUE(Dialogs.Handler->ShownStarting("Precaution!"));
  // A later check of another boot loader puts the order back.
  TAccess::Facts(*Updater).BootblockVersion = 113;
  EXPECT_EQ(TAccess::CheckBootblock(*Updater, false), TAccess::TCheck::GoOn);
  EXPECT_FALSE(main.DataReversed);
}

TEST_F(UpdaterOfflineTest, DataLinesCarryTheDevicesDataAndIdentity) {
  TPartLayout layout;
  layout.Entries = {"Nonce=00112233AABBCCDD", "UsedKey=1"};
  TCodePart& main = Add(layout);
  main.Lines[main.PayloadStart() + 3][70] = static_cast<char>(200);  // block would leave the area
  TAccess::Link(*Updater).SelectCommandSet(2);
  TAccess::Facts(*Updater).DeviceId = "ABCDEF";
  std::string image(256, '\0');
  for (int i = 0; i < 256; ++i) image[i] = static_cast<char>(i);
  TAccess::Streamer(*Updater).SetTarget(-1, image);
  const std::string line0 = Updater->Part().BuildLine(0, 0);
  ASSERT_EQ(line0.size(), 75u);
  EXPECT_EQ(line0[0], '\x02');
  EXPECT_EQ(line0.substr(3, 4), "ABCD");
  EXPECT_EQ(line0.substr(7, 64), image.substr(0, 64));
  EXPECT_EQ(Updater->Part().BuildLine(0, 2).substr(7, 64), image.substr(128, 64));
  // Offset 200: the line goes as stored.
  EXPECT_EQ(Updater->Part().BuildLine(0, 3), "\x02" + Str(main.Lines[main.PayloadStart() + 3]));
  EXPECT_EQ(Updater->Part().BuildLine(0, 4), "\x01" + Str(MakeCodeLine(0)));
  // Methods 3 and 4 never put the device's data into the lines.
  TAccess::Link(*Updater).SelectCommandSet(3);
  EXPECT_EQ(Updater->Part().BuildLine(0, 0), "\x02" + Str(MakeDataLine(0, 0x10)));
  // Without a nonce every method sends "W", the line and its sum byte.
  main.SetValue(QStringLiteral("Nonce"), QString());
  EXPECT_EQ(Updater->Part().BuildLine(0, 4), "W" + Str(MakeCodeLine(0)) + '5');  // sum byte 0x35
}

TEST_F(UpdaterOfflineTest, AuthorisationFrames) {
  TPartLayout layout;
  layout.Entries = {"Nonce=00112233AABBCCDD"};
  TCodePart& part = Add(layout);
  TAccess::Facts(*Updater).DeviceId = "ABCDEF";
  TAccess::Link(*Updater).SelectCommandSet(3);
  // No KeyID: the first four nonce bytes are dropped.
  EXPECT_EQ(Updater->Part().BuildAuthFrame(part, true, true),
            std::string("\x06"
                        "AUTH\x01\xAA\xBB\xCC\xDD"));
  part.SetValue(QStringLiteral("UsedKey"), QStringLiteral("1"));
  part.SetValue(QStringLiteral("KeyID"), QStringLiteral("7"));
  EXPECT_EQ(Updater->Part().BuildAuthFrame(part, false, false),
            std::string("\x06"
                        "AUTH\x18\x00\x11\x22\x33\xAA\xBB\xCC\xDD",
                        14));
  TAccess::Link(*Updater).SelectCommandSet(0);
  EXPECT_EQ(Updater->Part().BuildAuthFrame(part, true, true),
            std::string("\x00KEABCD\x11\x00\x11\x22\x33\xAA\xBB\xCC\xDD", 16));
  TAccess::Link(*Updater).SelectCommandSet(5);
  EXPECT_EQ(Updater->Part().BuildAuthFrame(part, true, true), "");
}

TEST_F(UpdaterOfflineTest, APartNeedingAuthorisationOnATextMethodFailsBeforeSending) {
  TPartLayout layout;
  layout.Entries = {"Nonce=00112233"};
  Add(layout);
  TAccess::Link(*Updater).SelectCommandSet(1);
  EXPECT_FALSE(TAccess::StartPart(*Updater, "Main", true));
  EXPECT_EQ(Updater->State(), TUpdateState::Unsuitable);
  EXPECT_EQ(Updater->PartFailure().Text(), FetchText(UpdaterStringIds().FileNotSuitable));
  EXPECT_TRUE(TAccess::PauseRequested(*Updater));
  EXPECT_FALSE(TAccess::StartPart(*Updater, "Bootblock", true));  // no such part
}

TEST_F(UpdaterOfflineTest, APartShortOfItsAnnouncedLinesIsNeverStarted) {
  TCodePart& main = Add({});
  main.SetInt(QStringLiteral("CL"), 5);  // holds 3 code lines
  TAccess::Link(*Updater).SelectCommandSet(1);
  EXPECT_FALSE(TAccess::StartPart(*Updater, "Main", false));
  EXPECT_EQ(Updater->State(), TUpdateState::Unsuitable);
  EXPECT_EQ(Updater->PartFailure().Text(), FetchText(UpdaterStringIds().FileNotSuitable));
  main.SetInt(QStringLiteral("CL"), 0);
  main.SetInt(QStringLiteral("EL"), 0);  // nothing to send at all
  main.Lines.resize(1);
  EXPECT_FALSE(TAccess::StartPart(*Updater, "Main", false));
  EXPECT_TRUE(TAccess::PauseRequested(*Updater));
}

TEST_F(UpdaterOfflineTest, BlankConfigurations) {
  TCodePart& main = Add({});
  struct TCase {
    int Method;
    uint32_t Word;
    std::string Device;
    QByteArray Body;
    bool Blank;
  };
  const std::string zeros(32, '\0');
  const TCase cases[] = {
      {0, 0, "x", "", true},
      {2, 0xFFFFFFFF, "x", "", true},
      {2, 1, zeros, "\x01", false},
      {1, 0, zeros, "\x01", true},
      {1, 0, zeros, QByteArray(32, '\0'), false},  // equals the file's configuration
      {3, 0, zeros, "\x01", false},
      {5, 0, std::string(31, '\0'), "\x01", false},
  };
  for (const TCase& c : cases) {
    TAccess::Link(*Updater).SelectCommandSet(c.Method);
    TAccess::Facts(*Updater).ConfigWord = c.Word;
    TAccess::Facts(*Updater).DeviceConfig = c.Device;
    main.Lines[0] = "C" + c.Body;
    EXPECT_EQ(TAccess::ConfigBlank(*Updater), c.Blank) << c.Method;
  }
}

TEST_F(UpdaterOfflineTest, DataImageAccessAndAddedCalibrations) {
  TCodePart& main = Add({});
  std::string error;
  int32_t value = 0;
  EXPECT_FALSE(
      TAccess::MemoryAccess(*Updater, 0x21C4, value, error, dtWord, true));  // no image yet
  EXPECT_EQ(error, FetchText(UpdaterStringIds().GeneralError));
  TAccess::DataImage(*Updater) = std::string(256, '\0');
  TAccess::DataImage(*Updater)[0xC4] = '\xEB';
  TAccess::DataImage(*Updater)[0xC5] = '\x03';
  error.clear();
  ASSERT_TRUE(TAccess::MemoryAccess(*Updater, 0x21C4, value, error, dtWord, true));
  EXPECT_EQ(value, 1003);
  EXPECT_FALSE(
      TAccess::MemoryAccess(*Updater, 0x21FF, value, error, dtWord, true));  // past the image
  EXPECT_TRUE(TAccess::MemoryAccess(*Updater, 0x21FF, value, error, dtByte, true));

  // The device lacks offset 168 that the new firmware calibrates: conversion A runs on
  // the image.
  TAccess::Link(*Updater).SelectCommandSet(2);
  TAccess::Facts(*Updater).ConfigWord = 1;
  TAccess::Facts(*Updater).DeviceConfig = std::string(32, '\0');
  QByteArray body(32, '\0');
  body[21] = '\x01';
  main.Lines[0] = "C" + body;
  EXPECT_EQ(TAccess::FindAddedCalibrations(*Updater), std::string(1, '\xA8'));
  error = "stale";
  TAccess::ApplyAddedCalibrations(*Updater, error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(static_cast<uint8_t>(TAccess::DataImage(*Updater)[0xA8]) |
                (static_cast<uint8_t>(TAccess::DataImage(*Updater)[0xA9]) << 8),
            6419);
  EXPECT_EQ(static_cast<uint8_t>(TAccess::DataImage(*Updater)[0xC2]) |
                (static_cast<uint8_t>(TAccess::DataImage(*Updater)[0xC3]) << 8),
            6419);
  // A blank configuration adds nothing.
  TAccess::Facts(*Updater).ConfigWord = 0;
  EXPECT_EQ(TAccess::FindAddedCalibrations(*Updater), "");
}

}  // namespace
