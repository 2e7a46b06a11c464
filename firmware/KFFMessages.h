// The firmware file unit's messages (declared in the string table).
#pragma once

#include <QString>

enum class TKffMessage {
  kmAccess,           // "Error accessing file!"
  kmIncorrectFormat,  // the header is not the magic
  kmNotRecognised,    // format version above the highest known
  kmUnexpectedEnd,    // a read returned fewer bytes than asked for
  kmCorrupted,        // a record's sum byte or a part's checksum does not match
};

// Declares the unit's messages in the string table (idempotent).
void StartUnitKFFFiles();
void StopUnitKFFFiles();

// The message's text: from the string table once StartUnitKFFFiles has run, else
// the built-in text (host tools that run without the table).
QString KffMessageText(TKffMessage message);
// Shows a firmware file's message to the user (information dialog, OK).
void KffShowMessage(const QString& text);
