#include "support/HardcodedStrings.h"

#include <cstdint>

#include "support/Tools.h"

namespace {

std::unique_ptr<THardCodedStrings> Table;
bool KeepWholeComments = false;  // "|UseStringComments" was on the command line
bool StringBeingShown = false;

// The table's own index variables: 3 private strings, then 10 public ones.
constexpr int OwnPrivateCount = 3;
constexpr int OwnCount = 13;
int32_t OwnIds[OwnCount];

const char* const NotStartedText =
    "Fatal program error\rHardcoded string mechanism not started.\r\rContact developer";

std::string FormatOrParameterMessage(const std::string& text, const TFormatArgs& args);

// Marks a string as being shown for the life of one ShowString call.
class TShowingGuard {
 public:
  TShowingGuard() { StringBeingShown = true; }
  ~TShowingGuard() { StringBeingShown = false; }
  TShowingGuard(const TShowingGuard&) = delete;
  TShowingGuard& operator=(const TShowingGuard&) = delete;
};

// Distance of an index variable from the first of its section (in variables).
long long Position(const int32_t* first, const int32_t* variable) {
  const auto from = reinterpret_cast<std::intptr_t>(first);
  const auto to = reinterpret_cast<std::intptr_t>(variable);
  return static_cast<long long>((to - from) / static_cast<std::intptr_t>(sizeof(int32_t)));
}

bool InSection(const int32_t* first, const int32_t* last, const int32_t* variable) {
  if (!first || !last) return false;
  const auto value = reinterpret_cast<std::uintptr_t>(variable);
  return value >= reinterpret_cast<std::uintptr_t>(first) &&
         value <= reinterpret_cast<std::uintptr_t>(last);
}

// The argument kinds listed at the head of a comment ("[sii]" -> s, i, i).
std::string ArgumentKinds(const std::string& comment) {
  std::string kinds;
  if (comment.empty() || comment[0] != '[') return kinds;
  for (size_t i = 1; i + 1 < comment.size(); ++i) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(comment[i])));
    if (c != 's' && c != 'i' && c != 'e' && c != 'r') break;
    kinds += c;
  }
  return kinds;
}

std::string JoinFilter(const std::vector<std::string>& texts) {
  std::string filter;
  for (size_t i = 2; i < texts.size(); ++i) {
    if (i > 2) filter += "|";
    filter += texts[i];
  }
  return filter;
}

}  // namespace

// ---------------------------------------------------------------------------
// THardCodedStrings

THardCodedStrings::THardCodedStrings() {
  Strings.push_back(std::make_unique<THardcodedString>());  // placeholder: indexes start at 1
}

THardCodedStrings::~THardCodedStrings() = default;

void THardCodedStrings::DefinitionError(const std::string& message, const int32_t* offending) {
  const long long position = offending && FirstIndex ? Position(FirstIndex, offending) : 0;
  FatalMessage(
      "Error in hardcoded string definitions!",
      message + "\r\rLast declared unit: " + SectionName + "  Index: " + std::to_string(position));
}

void THardCodedStrings::CheckPendingSection() {
  if (PendingCount == 0) return;
  PendingCount = 0;
  for (int32_t* variable = LastIndex; variable >= FirstIndex; --variable) {
    if (*variable == -1) DefinitionError("Not all indexes defined", variable);
    if (variable == FirstIndex) break;
  }
}

void THardCodedStrings::DeclareSection(const std::string& name, int32_t& first, int32_t& last) {
  CheckPendingSection();
  FirstIndex = &first;
  LastIndex = &last;
  SectionName = name;
  if (&last < &first)
    DefinitionError("Wrong index declaration call.\rStartindex > Stopindex", &last);
  PendingCount = static_cast<int32_t>(Position(&first, &last) + 1);
  for (int32_t* variable = &first; variable <= &last; ++variable) *variable = -1;
}

void THardCodedStrings::DefineString(int32_t& index, THardcodedKind kind, uint16_t buttons,
                                     int32_t helpContext, const std::string& comment,
                                     const std::vector<std::string>& texts) {
  if (!InSection(FirstIndex, LastIndex, &index))
    DefinitionError("Defining an index out of bounds", &index);
  if (index != -1) DefinitionError("Defining an already defined index", &index);
  auto string = std::make_unique<THardcodedString>();
  string->Kind = kind;
  string->Buttons = buttons;
  string->HelpContext = helpContext;
  string->Comment = KeepComment(comment);
  for (const std::string& text : texts) string->Texts.push_back(AdjustLineBreaks(text));
  ValidateTexts(*string);
  Strings.push_back(std::move(string));
  index = static_cast<int32_t>(Strings.size() - 1);
}

const THardcodedString& THardCodedStrings::GetString(int32_t index) {
  CheckPendingSection();
  if (index < 1 || index >= StringCount()) FatalMessage("Error", "Invalid string index");
  return *Strings[static_cast<size_t>(index)];
}

std::string THardCodedStrings::Translate(const std::string& text, bool) {
  return text;
}

std::optional<TMessageRequest> THardCodedStrings::CreateDialog(int32_t index,
                                                               const TFormatArgs& args, bool sample,
                                                               bool translate) {
  const THardcodedString& string = GetString(index);
  if (string.Kind > skMessage || string.Texts.empty()) return std::nullopt;
  const std::string text = Translate(string.Texts[0], translate);
  TMessageRequest request;
  request.Text =
      FormatOrParameterMessage(text, sample ? SampleArguments(string.Comment, 11) : args);
  request.Kind = static_cast<TMessageKind>(string.Kind);
  request.Buttons = string.Buttons;
  request.HelpContext = string.HelpContext;
  return request;
}

// ---------------------------------------------------------------------------
// Free functions

THardCodedStrings& HardCodedStrings() {
  if (!Table) FatalMessage("Error", NotStartedText);
  return *Table;
}

void DeclareSection(const std::string& name, int32_t& first, int32_t& last) {
  HardCodedStrings().DeclareSection(name, first, last);
}

void DefineString(int32_t& index, THardcodedKind kind, uint16_t buttons, int32_t helpContext,
                  const std::string& comment, const std::vector<std::string>& texts) {
  HardCodedStrings().DefineString(index, kind, buttons, helpContext, comment, texts);
}

namespace {

std::string FormatOrParameterMessage(const std::string& text, const TFormatArgs& args) {
  std::string out;
  if (FormatText(text, args, out)) return out;
  const std::string& message = HardCodedStrings().GetString(OwnIds[0]).Texts[0];
  if (FormatText(message, {text}, out)) return out;
  return text;
}

}  // namespace

void FetchTextArgs(int32_t index, const TFormatArgs& args, std::string& text, bool translate,
                   int textNumber) {
  THardCodedStrings& table = HardCodedStrings();
  const THardcodedString& string = table.GetString(index);
  text.clear();
  if (textNumber < 0 || textNumber >= static_cast<int>(string.Texts.size())) return;
  text = FormatOrParameterMessage(
      table.Translate(string.Texts[static_cast<size_t>(textNumber)], translate), args);
}

std::string FetchTextArgs(int32_t index, const TFormatArgs& args, bool translate, int textNumber) {
  std::string text;
  FetchTextArgs(index, args, text, translate, textNumber);
  return text;
}

void FetchText(int32_t index, int textNumber, bool translate, std::string& text) {
  FetchTextArgs(index, {}, text, translate, textNumber);
}

std::string FetchText(int32_t index, int textNumber, bool translate) {
  std::string text;
  FetchTextArgs(index, {}, text, translate, textNumber);
  return text;
}

namespace {

int ShowFileDialog(THardCodedStrings& table, const THardcodedString& string,
                   const TFormatArgs& args) {
  const bool save = string.Kind == skSaveDialog;
  auto text = [&](size_t i) {
    return i < string.Texts.size() ? FormatOrParameterMessage(string.Texts[i], args)
                                   : std::string();
  };
  TFileDialogState& state = save ? table.SaveDialog : table.OpenDialog;
  const int result =
      Dialogs().FileDialog(save, text(0), text(1), JoinFilter(string.Texts), state.FileName);
  return result == drCancel ? drCancel : drOK;
}

int ShowInputQuery(THardCodedStrings& table, const THardcodedString& string,
                   const TFormatArgs& args) {
  auto text = [&](size_t i) {
    return i < string.Texts.size() ? FormatOrParameterMessage(string.Texts[i], args)
                                   : std::string();
  };
  const int result = Dialogs().InputQuery(text(0), text(1), table.InputValue);
  return result == drCancel ? drCancel : drOK;
}

}  // namespace

int ShowStringArgs(int32_t index, const TFormatArgs& args) {
  if (StringBeingShown) return drNone;
  TShowingGuard showing;
  THardCodedStrings& table = HardCodedStrings();
  const THardcodedString& string = table.GetString(index);
  switch (string.Kind) {
    case skSaveDialog:
    case skOpenDialog:
      return ShowFileDialog(table, string, args);
    case skInputQuery:
      return ShowInputQuery(table, string, args);
    case skTextOnly:
      return drOK;
    default:
      break;
  }
  const std::optional<TMessageRequest> request = table.CreateDialog(index, args, false, true);
  if (!request) return drOK;
  return Dialogs().MessageDialog(request->Text, request->Kind, request->Buttons,
                                 request->HelpContext);
}

int ShowString(int32_t index) {
  return ShowStringArgs(index, {});
}

// ---------------------------------------------------------------------------
// Comment rule, sample arguments and validation

std::string KeepComment(const std::string& comment) {
  if (KeepWholeComments) return comment;
  if (comment.empty() || comment[0] != '[') return std::string();
  const size_t close = comment.find(']', 1);
  if (close == std::string::npos) return std::string();
  return comment.substr(0, close + 1);
}

TFormatArgs SampleArguments(const std::string& comment, int variant) {
  static const char* const texts[8] = {"TESTTEXT_A", "TESTTEXT_B", "TESTTEXT_C", "TESTTEXT_D",
                                       "TESTTEXT_E", "TESTTEXT_F", "TESTTEXT_G", "TESTTEXT_H"};
  static const double floats[8] = {3.01, 4.02, 5.03, 6.04, 7.05, 8.06, 9.07, 10.08};
  const int start = ((variant % 8) + 8) % 8;
  int integers = 0;
  int textCount = 0;
  int floatCount = 0;
  TFormatArgs args;
  for (char kind : ArgumentKinds(comment)) {
    if (kind == 'i')
      args.emplace_back(static_cast<int64_t>(11 + variant + integers++));
    else if (kind == 's')
      args.emplace_back(std::string(texts[(start + textCount++) % 8]));
    else
      args.emplace_back(floats[(start + floatCount++) % 8]);
  }
  return args;
}

bool ValidateTexts(const THardcodedString& string) {
  const TFormatArgs first = SampleArguments(string.Comment, 0);
  const TFormatArgs second = SampleArguments(string.Comment, 1);
  bool valid = true;
  for (const std::string& text : string.Texts) {
    std::string withFirst;
    std::string withSecond;
    bool formatted = FormatText(text, first, withFirst);
    if (!first.empty()) formatted = FormatText(text, second, withSecond) && formatted;
    if (!formatted) {
      Dialogs().PlainMessage(
          "Error",
          "FATAL ERROR: The next string specifies more arguments than required:\r\r" + text);
      valid = false;
    } else if (!first.empty() && withFirst == withSecond) {
      Dialogs().PlainMessage("Error",
                             "FATAL ERROR: The next string does not specify all required "
                             "argumnents (%d %s etc.):\r\r" +
                                 text);
      valid = false;
    }
  }
  return valid;
}

// ---------------------------------------------------------------------------
// Unit start-up

const THardcodedStringIds& HardcodedStringIds() {
  static THardcodedStringIds ids;
  int32_t* fields[OwnCount] = {
      &ids.ParameterCountError, &ids.ValueNotBetween, &ids.NotAnInteger,     &ids.WarningOK,
      &ids.WarningYesNo,        &ids.InformationOK,   &ids.ErrorOK,          &ids.ErrorCreatingFile,
      &ids.FileCorrupted,       &ids.CannotOpenFile,  &ids.ErrorReadingFile, &ids.WrongFileFormat,
      &ids.NewerVersionFile};
  for (int i = 0; i < OwnCount; ++i) *fields[i] = OwnIds[i];
  return ids;
}

namespace {

void DeclareOwnStrings() {
  int32_t* ids = OwnIds;
  DeclareSection("HardcodedStrings private", ids[0], ids[OwnPrivateCount - 1]);
  DefineString(
      ids[0], skError, dbOK, 0, "[s] translation warning if the parameter count doesn't match",
      {"FATAL error number of parameters in:\r\r%s\r\rdoes not match number of arguments."});
  DefineString(ids[1], skError, dbOK, 0, "[ii] input value not within limits",
               {"Value not between %d and %d !"});
  DefineString(ids[2], skError, dbOK, 0, "[s] string specified is not an integer",
               {"Cannot interpret \r\r%s\r\r as an integer!"});

  DeclareSection("HardcodedStrings public", ids[OwnPrivateCount], ids[OwnCount - 1]);
  DefineString(ids[3], skWarning, dbOK, 0, "[s]", {"%s"});
  DefineString(ids[4], skWarning, dbYes | dbNo, 0, "[s]", {"%s"});
  DefineString(ids[5], skInformation, dbOK, 0, "[s]", {"%s"});
  DefineString(ids[6], skError, dbOK, 0, "[s]", {"%s"});
  const char* const fileTexts[6] = {
      "Error creating file!",
      "File corrupted!",
      "Cannot open file!",
      "Error reading file!",
      "Wrong file format!",
      ("Cannot interpret this file because it is created with a newer version of this "
       "program.\rPlease obtain the latest version.")};
  for (int i = 0; i < 6; ++i)
    DefineString(ids[7 + i], skTextOnly, 0, 0, "setting info/data files", {fileTexts[i]});
}

}  // namespace

void StartUnitStrings() {
  if (Table) return;
  KeepWholeComments = FindParam("|UseStringComments", true) > 0;
  Table = std::make_unique<THardCodedStrings>();
  DeclareOwnStrings();
}

void StopUnitStrings() {
  Table.reset();
  StringBeingShown = false;
}
