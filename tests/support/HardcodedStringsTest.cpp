#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "support/HardcodedStrings.h"
#include "support/Threads.h"
#include "support/Tools.h"
#include "tests/common/RecordingDialogs.h"

namespace {

const char* const MoreArguments =
    "FATAL ERROR: The next string specifies more arguments than required:\r\r";
const char* const NotAllArguments =
    "FATAL ERROR: The next string does not specify all required argumnents (%d %s etc.):\r\r";

class HardcodedStringsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    StartUnitThreads();
    StartUnitStrings();
  }
  void SetUp() override {
    auto recorder = std::make_unique<TRecordingDialogs>(Calls);
    Recorder = recorder.get();
    SetDialogHandler(std::move(recorder));
  }
  void TearDown() override { SetDialogHandler(nullptr); }

  // Declares a one-string section and defines it. Index variables live as long as the
  // program, as a unit's do: a section stays pending after its test has ended.
  static int32_t DefineOne(THardcodedKind kind, uint16_t buttons, const std::string& comment,
                           const std::vector<std::string>& texts) {
    static std::deque<int32_t> indexVariables;
    int32_t& slot = indexVariables.emplace_back(-1);
    DeclareSection("test", slot, slot);
    DefineString(slot, kind, buttons, 0, comment, texts);
    return slot;
  }

  std::vector<TDialogCall> Calls;
  TRecordingDialogs* Recorder = nullptr;
};

// ---------------------------------------------------------------------------
// Declaring and fetching

TEST_F(HardcodedStringsTest, SectionDefinesIndexesInOrderAndFetchesTexts) {
  int32_t ids[3] = {7, 7, 7};
  DeclareSection("UnitA", ids[0], ids[2]);
  EXPECT_EQ(ids[1], -1);  // declared, not yet defined
  DefineString(ids[0], skTextOnly, 0, 0, "suffix", {" (in use)"});
  DefineString(ids[1], skError, dbOK, 0, "[si] two texts", {"File %s line %d", "Line %s\rtwo %d"});
  DefineString(ids[2], skTextOnly, 0, 0, "", {"100%%"});
  EXPECT_EQ(ids[1], ids[0] + 1);
  EXPECT_EQ(ids[2], ids[0] + 2);

  EXPECT_EQ(FetchText(ids[0]), " (in use)");
  EXPECT_EQ(FetchTextArgs(ids[1], {"a.kff", 12}), "File a.kff line 12");
  EXPECT_EQ(FetchTextArgs(ids[1], {"1", 2}, true, 1), AdjustLineBreaks("Line 1\rtwo 2"));
  EXPECT_EQ(FetchText(ids[2]), "100%");
  std::string out = "old";
  FetchText(ids[0], 1, true, out);  // one text only: text 1 is empty
  EXPECT_EQ(out, "");
  FetchTextArgs(ids[1], {"x", 1}, out, true, -1);
  EXPECT_EQ(out, "");
  EXPECT_TRUE(Calls.empty());
}

TEST_F(HardcodedStringsTest, FormattingFailureGivesTheParameterCountMessage) {
  const int32_t index = DefineOne(skTextOnly, 0, "[i]", {"Value %d"});
  EXPECT_EQ(FetchTextArgs(index, {"not a number"}),
            AdjustLineBreaks("FATAL error number of parameters in:\r\rValue %d\r\rdoes not "
                             "match number of arguments."));
  EXPECT_EQ(FetchText(index), FetchTextArgs(index, {}));
}

TEST_F(HardcodedStringsTest, TableOwnStringsAreDeclared) {
  const THardcodedStringIds& ids = HardcodedStringIds();
  EXPECT_EQ(FetchTextArgs(ids.ValueNotBetween, {1, 9}), "Value not between 1 and 9 !");
  EXPECT_EQ(FetchText(ids.WrongFileFormat), "Wrong file format!");
  EXPECT_EQ(HardCodedStrings().GetString(ids.WarningYesNo).Buttons, dbYes | dbNo);
  EXPECT_EQ(HardCodedStrings().GetString(ids.NewerVersionFile).Kind, skTextOnly);
  EXPECT_EQ(ids.NewerVersionFile, ids.ParameterCountError + 12);
}

// ---------------------------------------------------------------------------
// Checks of declared texts against their comments

struct TValidationCase {
  const char* Text;
  const char* Comment;
  const char* Message;  // expected message prefix, nullptr when the text passes
};

TEST_F(HardcodedStringsTest, TextsAreCheckedAgainstTheCommentArgumentList) {
  const TValidationCase cases[] = {
      {"Value %d", "[i] one integer", nullptr},
      {"Value %d", "[ii] uses one of two", nullptr},
      {"Value %d", "", MoreArguments},
      {"Value %d", "no list", MoreArguments},
      {"No directives", "[s]", NotAllArguments},
      {"%s at %d", "[si]", nullptr},
      {"%d", "[s] wrong kind", MoreArguments},
      {"%.2f V", "[e]", nullptr},
      {"%.2f V", "[R]", nullptr},
      {"%s %s", "[s]", MoreArguments},
      {"Plain text", "", nullptr},
  };
  for (const TValidationCase& c : cases) {
    SCOPED_TRACE(std::string(c.Text) + " / " + c.Comment);
    Calls.clear();
    const int32_t index = DefineOne(skTextOnly, 0, c.Comment, {c.Text});
    EXPECT_GT(index, 0);  // defined all the same
    if (!c.Message) {
      EXPECT_TRUE(Calls.empty());
      continue;
    }
    ASSERT_EQ(Calls.size(), 1u);
    EXPECT_EQ(Calls[0].Operation, "plain");
    EXPECT_EQ(Calls[0].Caption, "Error");
    EXPECT_EQ(Calls[0].Text, std::string(c.Message) + c.Text);
  }
}

TEST_F(HardcodedStringsTest, EveryTextOfAStringIsChecked) {
  DefineOne(skSaveDialog, 0, "[s]", {"Save %s", "kff", "Firmware|*.kff"});
  // the default extension and the filter do not use the argument
  ASSERT_EQ(Calls.size(), 2u);
  EXPECT_EQ(Calls[0].Text, std::string(NotAllArguments) + "kff");
}

TEST_F(HardcodedStringsTest, CommentKeepsOnlyItsArgumentListUnlessAskedOtherwise) {
  const char* const withList =
      "[s] reprogramming a device, %s is replaced by device name (e.g. BX2)";
  EXPECT_EQ(KeepComment(withList), "[s]");
  EXPECT_EQ(KeepComment("message during reprogram"), "");
  EXPECT_EQ(KeepComment("[]"), "[]");
  EXPECT_EQ(KeepComment("[s no end"), "");
  EXPECT_EQ(KeepComment("]["), "");

  StopUnitStrings();
  SetCommandLineParams({"--port", "|usestringcomments"});
  StartUnitStrings();
  EXPECT_EQ(KeepComment(withList), withList);
  EXPECT_EQ(KeepComment("message during reprogram"), "message during reprogram");
  const int32_t index = DefineOne(skTextOnly, 0, withList, {"%s"});
  EXPECT_EQ(HardCodedStrings().GetString(index).Comment, withList);
  EXPECT_TRUE(Calls.empty());  // a whole comment still lists its arguments

  StopUnitStrings();
  ClearCommandLineParams();
  StartUnitStrings();
  EXPECT_EQ(KeepComment(withList), "[s]");
}

TEST_F(HardcodedStringsTest, SampleArgumentsCountEachKindSeparatelyAndWrap) {
  const TFormatArgs first = SampleArguments("[sie]", 0);
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(first[0].Text, "TESTTEXT_A");
  EXPECT_EQ(first[1].Integer, 11);
  EXPECT_DOUBLE_EQ(first[2].Float, 3.01);

  const TFormatArgs shifted = SampleArguments("[iSsRi]", 7);
  ASSERT_EQ(shifted.size(), 5u);
  EXPECT_EQ(shifted[0].Integer, 18);
  EXPECT_EQ(shifted[1].Text, "TESTTEXT_H");
  EXPECT_EQ(shifted[2].Text, "TESTTEXT_A");  // wraps after H
  EXPECT_DOUBLE_EQ(shifted[3].Float, 10.08);
  EXPECT_EQ(shifted[4].Integer, 19);

  EXPECT_TRUE(SampleArguments("[s", 0).empty());  // the last character is never a kind
  EXPECT_TRUE(SampleArguments("s]", 0).empty());
  EXPECT_EQ(SampleArguments("[ss x]", 0).size(), 2u);
}

// ---------------------------------------------------------------------------
// Showing strings

TEST_F(HardcodedStringsTest, MessageStringIsShownWithItsKindButtonsAndArguments) {
  const int32_t index = DefineOne(skConfirmation, dbYes | dbNo, "[si]", {"Update %s to %d?"});
  Recorder->Answer = drYes;
  EXPECT_EQ(ShowStringArgs(index, {"BX2", 4}), drYes);
  ASSERT_EQ(Calls.size(), 1u);
  EXPECT_EQ(Calls[0].Operation, "message");
  EXPECT_EQ(Calls[0].Text, "Update BX2 to 4?");
  EXPECT_EQ(Calls[0].Kind, mkConfirmation);
  EXPECT_EQ(Calls[0].Buttons, dbYes | dbNo);
}

TEST_F(HardcodedStringsTest, TextOnlyStringIsNeverShown) {
  const int32_t index = DefineOne(skTextOnly, 0, "", {"hidden"});
  EXPECT_EQ(ShowString(index), drOK);
  EXPECT_TRUE(Calls.empty());
}

TEST_F(HardcodedStringsTest, SecondShowWhileOneIsShowingReturnsZero) {
  const int32_t index = DefineOne(skWarning, dbOK, "", {"Careful"});
  int nested = -1;
  Recorder->DuringMessage = [&] { nested = ShowString(index); };
  EXPECT_EQ(ShowString(index), drOK);
  EXPECT_EQ(nested, drNone);
  EXPECT_EQ(Calls.size(), 1u);
  Recorder->DuringMessage = nullptr;
  EXPECT_EQ(ShowString(index), drOK);  // the flag is cleared again
}

TEST_F(HardcodedStringsTest, FileDialogGetsTitleExtensionAndJoinedFilter) {
  const int32_t index = DefineOne(skOpenDialog, 0, "[s]",
                                  {"Open %s firmware", "kff", "Firmware", "*.kff", "All", "*.*"});
  Calls.clear();
  Recorder->ChosenName = "/tmp/x.kff";
  EXPECT_EQ(ShowStringArgs(index, {"BX2"}), drOK);
  ASSERT_EQ(Calls.size(), 1u);
  EXPECT_EQ(Calls[0].Operation, "open");
  EXPECT_EQ(Calls[0].Caption, "Open BX2 firmware");
  EXPECT_EQ(Calls[0].Text, "kff");
  EXPECT_EQ(Calls[0].Filter, "Firmware|*.kff|All|*.*");
  EXPECT_EQ(HardCodedStrings().OpenDialog.FileName, "/tmp/x.kff");
  Recorder->Answer = drCancel;
  EXPECT_EQ(ShowStringArgs(index, {"BX2"}), drCancel);
}

TEST_F(HardcodedStringsTest, InputQueryEditsInputValue) {
  const int32_t index = DefineOne(skInputQuery, 0, "", {"Serial", "Number:"});
  HardCodedStrings().InputValue = "1";
  Recorder->ChosenName = "42";
  EXPECT_EQ(ShowString(index), drOK);
  ASSERT_EQ(Calls.size(), 1u);
  EXPECT_EQ(Calls[0].Caption, "Serial");
  EXPECT_EQ(Calls[0].Text, "Number:=1");
  EXPECT_EQ(HardCodedStrings().InputValue, "42");
  Recorder->Answer = drCancel;
  EXPECT_EQ(ShowString(index), drCancel);
  EXPECT_EQ(HardCodedStrings().InputValue, "42");
}

// ---------------------------------------------------------------------------
// Misdeclarations end the program

using HardcodedStringsDeathTest = HardcodedStringsTest;

// The dying program's error output contains `text`, whatever line breaks the
// platform's console writes.
::testing::Matcher<const std::string&> DiesWith(const std::string& text) {
  return ::testing::ResultOf(
      [](const std::string& output) {
        std::string plain;
        for (char c : output)
          if (c != '\r') plain += c;
        return plain;
      },
      ::testing::HasSubstr(text));
}

TEST_F(HardcodedStringsDeathTest, DefiningAnIndexTwiceNamesSectionAndPosition) {
  EXPECT_DEATH(
      {
        int32_t ids[2];
        DeclareSection("Twice", ids[0], ids[1]);
        DefineString(ids[0], skTextOnly, 0, 0, "", {"a"});
        DefineString(ids[1], skTextOnly, 0, 0, "", {"b"});
        DefineString(ids[1], skTextOnly, 0, 0, "", {"c"});
      },
      DiesWith("Error in hardcoded string definitions!\n"
               "Defining an already defined index\n\nLast declared unit: Twice  Index: 1"));
}

TEST_F(HardcodedStringsDeathTest, UndefinedIndexIsCaughtAtTheNextSection) {
  EXPECT_DEATH(
      {
        int32_t first[3];
        int32_t second[1];
        DeclareSection("Gappy", first[0], first[2]);
        DefineString(first[0], skTextOnly, 0, 0, "", {"a"});
        DefineString(first[2], skTextOnly, 0, 0, "", {"c"});
        DeclareSection("Next", second[0], second[0]);
      },
      DiesWith("Not all indexes defined\n\nLast declared unit: Gappy  Index: 1"));
}

TEST_F(HardcodedStringsDeathTest, UndefinedIndexIsCaughtAtTheFirstLookUp) {
  EXPECT_DEATH(
      {
        int32_t ids[2];
        DeclareSection("Lookup", ids[0], ids[1]);
        DefineString(ids[0], skTextOnly, 0, 0, "", {"a"});
        FetchText(ids[0]);
      },
      DiesWith("Not all indexes defined\n\nLast declared unit: Lookup  Index: 1"));
}

TEST_F(HardcodedStringsDeathTest, BadDeclarationsEndTheProgram) {
  int32_t ids[2];
  int32_t outside = -1;
  EXPECT_DEATH(DeclareSection("Reversed", ids[1], ids[0]),
               DiesWith("Wrong index declaration call.\nStartindex > Stopindex"));
  EXPECT_DEATH(
      {
        DeclareSection("Bounds", ids[0], ids[1]);
        DefineString(outside, skTextOnly, 0, 0, "", {"x"});
      },
      DiesWith("Defining an index out of bounds\n\nLast declared unit: Bounds"));
}

TEST_F(HardcodedStringsDeathTest, InvalidIndexesEndTheProgram) {
  EXPECT_DEATH(FetchText(0), DiesWith("Error\nInvalid string index"));
  EXPECT_DEATH(ShowString(-1), DiesWith("Error\nInvalid string index"));
  EXPECT_DEATH(FetchText(HardCodedStrings().StringCount()), DiesWith("Invalid string index"));
}

TEST_F(HardcodedStringsDeathTest, UseBeforeStartEndsTheProgram) {
  EXPECT_DEATH(
      {
        StopUnitStrings();
        FetchText(1);
      },
      DiesWith("Hardcoded string mechanism not started.\n\nContact developer"));
}

}  // namespace
