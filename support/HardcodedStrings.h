#pragma once
// The hard-coded string table: every user-visible text is declared once per unit at
// start-up and later shown (as a dialog of its kind) or fetched by its index.
//
// Declaring, in a unit's StartUnit<Name>():
//   static int32_t Ids[2];            // index variables, contiguous (array or struct)
//   DeclareSection("MyUnit", Ids[0], Ids[1]);
//   DefineString(Ids[0], skError, dbOK, 0, "[s] file could not be read", {"Cannot read %s"});
//   DefineString(Ids[1], skTextOnly, 0, 0, "suffix", {" (in use)"});
// The comment's leading "[s]", "[i]", "[ii]", "[e]"/"[r]" lists the arguments that the
// texts take (text, integer, floating point); each text is checked against it.
// Misdeclarations (and look-ups of invalid indexes) show a message box and end the
// program. StartUnitStrings() must run before any unit declares strings.
//
// Stored texts have their line breaks ("\r", "\n", "\r\n") normalised to the
// platform's sequence ("\n" here, "\r\n" on Windows).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/Dialogs.h"
#include "support/Format.h"

// How a string is shown.
enum THardcodedKind : uint8_t {
  skWarning = 0,       // warning message dialog
  skError = 1,         // error message dialog
  skConfirmation = 2,  // confirmation message dialog
  skInformation = 3,   // information message dialog
  skMessage = 4,       // message dialog without icon
  skSaveDialog = 5,    // text 0 title, text 1 default extension, texts 2.. filter parts
  skOpenDialog = 6,    // same texts as skSaveDialog
  skTextOnly = 7,      // never shown; texts are fetched by index
  skInputQuery = 8,    // text 0 caption, text 1 prompt
};
// Buttons are TDialogButton bits (support/Dialogs.h): dbOK = 4, dbYes | dbNo = 3,
// dbOK | dbCancel = 12, 0 for skTextOnly.

class THardcodedString {
 public:
  THardcodedKind Kind = skTextOnly;
  uint16_t Buttons = 0;
  std::vector<std::string> Texts;
  std::string Comment;  // the stored part of the declared comment (KeepComment)
  int32_t HelpContext = 0;
};

// A message dialog ready to be shown (what CreateDialog builds for kinds 0..4).
struct TMessageRequest {
  std::string Text;
  TMessageKind Kind = mkPlain;
  uint16_t Buttons = dbOK;
  int32_t HelpContext = 0;
};

// What a file dialog of kind 5 / 6 keeps between uses.
struct TFileDialogState {
  std::string FileName;  // initial name in, chosen name out
};

class THardCodedStrings {
 public:
  THardCodedStrings();
  virtual ~THardCodedStrings();
  THardCodedStrings(const THardCodedStrings&) = delete;
  THardCodedStrings& operator=(const THardCodedStrings&) = delete;

  // The string at `index`; a pending section is checked first. An invalid index ends
  // the program ("Invalid string index").
  virtual const THardcodedString& GetString(int32_t index);
  // Hook for translations; the table returns the text unchanged.
  virtual std::string Translate(const std::string& text, bool flag);
  // The message dialog for a string of kind 0..4 (text 0 formatted with `args`, or
  // with the sample arguments of variant 11 when `sample`); none for other kinds.
  virtual std::optional<TMessageRequest> CreateDialog(int32_t index, const TFormatArgs& args,
                                                      bool sample, bool translate);

  void DeclareSection(const std::string& name, int32_t& first, int32_t& last);
  void DefineString(int32_t& index, THardcodedKind kind, uint16_t buttons, int32_t helpContext,
                    const std::string& comment, const std::vector<std::string>& texts);
  // Number of entries in the list, the empty placeholder at position 0 included.
  int32_t StringCount() const { return static_cast<int32_t>(Strings.size()); }

  std::string InputValue;  // the text of the last kind-8 input query (in and out)
  TFileDialogState SaveDialog;
  TFileDialogState OpenDialog;

 private:
  void CheckPendingSection();
  [[noreturn]] void DefinitionError(const std::string& message, const int32_t* offending);

  int32_t PendingCount = 0;
  int32_t* FirstIndex = nullptr;
  int32_t* LastIndex = nullptr;
  std::string SectionName;
  std::vector<std::unique_ptr<THardcodedString>> Strings;
};

// The table. Ends the program with a message box when StartUnitStrings() has not run.
THardCodedStrings& HardCodedStrings();

void DeclareSection(const std::string& name, int32_t& first, int32_t& last);
void DefineString(int32_t& index, THardcodedKind kind, uint16_t buttons, int32_t helpContext,
                  const std::string& comment, const std::vector<std::string>& texts);

// Text `textNumber` of string `index`, formatted with no arguments; an empty text for
// a text number out of range. A formatting failure yields the table's parameter-count
// message with the unformatted text inserted.
void FetchText(int32_t index, int textNumber, bool translate, std::string& text);
std::string FetchText(int32_t index, int textNumber = 0, bool translate = true);
// The same, formatted with `args`.
void FetchTextArgs(int32_t index, const TFormatArgs& args, std::string& text, bool translate = true,
                   int textNumber = 0);
std::string FetchTextArgs(int32_t index, const TFormatArgs& args, bool translate = true,
                          int textNumber = 0);

// Shows string `index` as a dialog of its kind through Dialogs(). Main thread only.
// Returns drOK / drCancel / drYes / drNo, drOK for skTextOnly, and drNone (showing
// nothing) while another string is being shown.
int ShowString(int32_t index);
int ShowStringArgs(int32_t index, const TFormatArgs& args);

// The part of a declared comment that is stored: the whole comment when the command
// line holds "|UseStringComments" (looked up at StartUnitStrings), else its leading
// "[...]" part, else empty.
std::string KeepComment(const std::string& comment);
// Checks the texts of a newly defined string against its comment's argument list;
// shows a plain "Error" message box for each text that fails and goes on. Returns
// false when any text failed.
bool ValidateTexts(const THardcodedString& string);
// The sample arguments of variant `variant` for a comment (its leading "[...]" list).
TFormatArgs SampleArguments(const std::string& comment, int variant);

// Indexes of the table's own strings (valid after StartUnitStrings()).
struct THardcodedStringIds {
  int32_t ParameterCountError = -1;  // [s] "FATAL error number of parameters in: ..."
  int32_t ValueNotBetween = -1;      // [ii] "Value not between %d and %d !"
  int32_t NotAnInteger = -1;         // [s] "Cannot interpret ... as an integer!"
  int32_t WarningOK = -1;            // [s] "%s" warning, OK
  int32_t WarningYesNo = -1;         // [s] "%s" warning, Yes / No
  int32_t InformationOK = -1;        // [s] "%s" information, OK
  int32_t ErrorOK = -1;              // [s] "%s" error, OK
  int32_t ErrorCreatingFile = -1;    // "Error creating file!"
  int32_t FileCorrupted = -1;        // "File corrupted!"
  int32_t CannotOpenFile = -1;       // "Cannot open file!"
  int32_t ErrorReadingFile = -1;     // "Error reading file!"
  int32_t WrongFileFormat = -1;      // "Wrong file format!"
  int32_t NewerVersionFile = -1;     // "Cannot interpret this file because it is created ..."
};
const THardcodedStringIds& HardcodedStringIds();

// Creates the table (after looking up "|UseStringComments") and declares its own
// sections. StopUnitStrings frees it; it is the last unit to stop.
void StartUnitStrings();
void StopUnitStrings();
