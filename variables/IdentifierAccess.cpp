// The identifier mode of a variable: pointing it at a RAM variable, flag or
// setting, asking the device for the value's information, and writing by index.

#include <cmath>
#include <cstdlib>

#include "link/BusDriver.h"
#include "link/ProtocolCodes.h"
#include "variables/ExtendedVariable.h"
#include "variables/Identifiers.h"
#include "variables/InfoCache.h"
#include "variables/VariableMath.h"

namespace {

constexpr int FlagsPerWord = 16;
constexpr int FlagWordsInNumbering = 3;  // the last flag word holds no numbered flag
constexpr int16_t BitMarkerOffset = -32768;
constexpr int InverseScaleFrom = 16384;

uint16_t SettingIndexOf(uint8_t flagWordId) {
  return flagWordId - FirstSettingID;
}

// Little-endian word at reply bytes i, i+1 (the caller checked the length).
uint16_t WordAt(const std::string& reply, size_t i) {
  return static_cast<uint16_t>(static_cast<uint8_t>(reply[i]) |
                               (static_cast<uint8_t>(reply[i + 1]) << 8));
}

int16_t SignedAt(const std::string& reply, size_t i) {
  return static_cast<int16_t>(WordAt(reply, i));
}

// One information reply: accepted when it came, carries the expected code and,
// when a word is wanted, is long enough to hold it.
bool Accepted(int length, const std::string& reply, uint8_t code, size_t minimum) {
  return length > 0 && reply.size() >= minimum && static_cast<uint8_t>(reply[0]) == code;
}

bool NextWord(TBusDriver& driver, uint8_t code, int16_t& word) {
  std::string reply;
  const int length = driver.NextReply(reply, -1);
  if (!Accepted(length, reply, code, 3)) return false;
  word = SignedAt(reply, 1);
  return true;
}

// Scale of a RAM variable: small words are the scale itself, large ones the
// denominator's distance from 32768.
double RamVarScale(int16_t s) {
  const int a = std::abs(int(s));
  if (a < InverseScaleFrom) return a;
  // -32768 is outside the encoding; it would divide by zero.
  if (a >= 32768) return 0.0;
  return 1.0 / (32768 - a);
}

}  // namespace

uint8_t TExtendedVariable::GetIdentifier() const {
  switch (AccessKind) {
    case vkRamVar:
      return static_cast<uint8_t>(Address + FirstRamVarID);
    case vkSetting: {
      if (DataType != dtBit) return static_cast<uint8_t>(Address + FirstSettingID);
      int w = 0;
      while (w < FlagWordsInNumbering && SettingIndexOf(FlagWordTable[w]) != Address) ++w;
      return static_cast<uint8_t>(FirstFlagID + FlagsPerWord * w + BitNumber);
    }
    case vkNone:
    case vkMemory:
      break;
  }
  return NoVariableID;
}

void TExtendedVariable::SetIdentifier(uint8_t id) {
  if (id == NoVariableID && GetIdentifier() == NoVariableID) return;
  SetOffset(0);
  DisplayFormat = 'D';
  DataType = dtWord;
  double scale = 0.0;
  const int index = IdentifierIndex(id);
  switch (ClassifyIdentifier(id)) {
    case icRamVar:
      AccessKind = vkRamVar;
      Address = static_cast<uint16_t>(index);
      break;
    case icFlag:
      AccessKind = vkSetting;
      DataType = dtBit;
      BitNumber = static_cast<uint8_t>(index % FlagsPerWord);
      Address = SettingIndexOf(FlagWordTable[index / FlagsPerWord]);
      scale = 1.0;
      break;
    case icSetting:
      AccessKind = vkSetting;
      Address = static_cast<uint16_t>(index);
      break;
    case icNone:
      AccessKind = vkNone;
      break;
  }
  SetScale(scale);
}

bool TExtendedVariable::ReadInfo(TBusDriver& driver) {
  CombinedWrite = false;
  const uint8_t id = GetIdentifier() & 127;
  switch (ClassifyIdentifier(id)) {
    case icRamVar:
      return ReadRamVarInfo(driver, id);
    case icFlag:
    case icSetting:
      return ReadSettingInfo(driver, id);
    case icNone:
      break;
  }
  return false;
}

namespace {

struct TInfoAnswer {
  TInfoWords Words;
  bool Complete = true;  // every reply the chosen form promises came
  bool Combined = false;
};

// Request, reply codes and lengths of the information forms of one class.
struct TInfoForm {
  uint8_t Command;
  uint8_t Reply;
  size_t CombinedLength;
};

constexpr TInfoForm RamVarForm{dev::RamVariableInfoRequest, dev::RamVariableScale, 5};
constexpr TInfoForm SettingForm{dev::SettingInfoRequest, dev::SettingScale, 11};

// The long form's replies after the scale word, each taken only after the one before.
bool ReadTail(TBusDriver& driver, bool setting, TInfoWords& w) {
  if (!setting) return NextWord(driver, dev::RamVariableOffset, w.Offset);
  return NextWord(driver, dev::SettingOffset, w.Offset) &&
         NextWord(driver, dev::SettingDefault, w.Default) &&
         NextWord(driver, dev::SettingMinimum, w.Minimum) &&
         NextWord(driver, dev::SettingMaximum, w.Maximum);
}

TInfoWords WordsOfCombinedReply(const std::string& reply, bool setting) {
  if (!setting) return {SignedAt(reply, 1), SignedAt(reply, 3), 0, 0, 0};
  return {SignedAt(reply, 1), SignedAt(reply, 3), SignedAt(reply, 5), SignedAt(reply, 7),
          SignedAt(reply, 9)};
}

// Asks for the information in whatever form the device answers. False when the
// first reply is missing or wrong. An answer of an unknown length is taken from
// the cache; a complete answer goes into it.
bool CollectInfo(TBusDriver& driver, uint16_t index, uint8_t id, bool setting,
                 TInfoAnswer& answer) {
  const TInfoForm& form = setting ? SettingForm : RamVarForm;
  std::string reply = BuildCommand(form.Command, LowByte(index), HighByte(index));
  const int length = driver.Query(reply, 255, -1);
  if (!Accepted(length, reply, form.Reply, 1)) return false;
  TInfoCache& cache = InfoCache();
  TInfoWords& cached = cache.Entries[id];
  if (reply.size() == 3) {
    answer.Words.Scale = SignedAt(reply, 1);
    if (answer.Words.Scale != 0) answer.Complete = ReadTail(driver, setting, answer.Words);
  } else if (reply.size() == 1) {
    answer.Combined = true;
  } else if (reply.size() == form.CombinedLength) {
    answer.Combined = true;
    answer.Words = WordsOfCombinedReply(reply, setting);
  } else {
    answer.Words = cached;
    answer.Combined = cache.CombinedWrite;
  }
  if (setting && answer.Words.Scale == 0) answer.Words = TInfoWords{};
  // A partial answer must not stand in for the device's later.
  if (answer.Complete) {
    cached = answer.Words;
    cache.CombinedWrite = answer.Combined;
  }
  return true;
}

int32_t LimitWord(int16_t word, bool isSigned) {
  return isSigned ? int32_t(word) : int32_t(static_cast<uint16_t>(word));
}

}  // namespace

bool TExtendedVariable::ReadRamVarInfo(TBusDriver& driver, uint8_t id) {
  TInfoAnswer answer;
  if (!CollectInfo(driver, Address, id, false, answer)) return false;
  CombinedWrite = answer.Combined;
  const int16_t s = answer.Words.Scale;
  int32_t offset = answer.Words.Offset;
  if (s < 0) {
    DataType = dtSigned;
    MinRaw = -32768;
    MaxRaw = 32767;
  } else if (s > 0) {
    DataType = dtWord;
    MinRaw = 0;
    MaxRaw = 65535;
  }
  DefaultRaw = 0;
  double scale = RamVarScale(s);
  if (offset == BitMarkerOffset) {
    // A one-bit variable: the scale word counts its bit from 1.
    DataType = dtBit;
    BitNumber = static_cast<uint8_t>(Clamp(RoundToRaw(scale) - 1, 0, 15));
    scale = 1.0;
    offset = 0;
  }
  SetOffset(offset);
  SetScale(scale);
  return answer.Complete;
}

bool TExtendedVariable::ReadSettingInfo(TBusDriver& driver, uint8_t id) {
  TInfoAnswer answer;
  if (!CollectInfo(driver, Address, id, true, answer)) return false;
  CombinedWrite = answer.Combined;
  const TInfoWords& w = answer.Words;
  const bool isFlag = ClassifyIdentifier(id) == icFlag;
  if (!isFlag && w.Scale != 0) DataType = w.Scale < 0 ? dtSigned : dtWord;
  // A signed setting's limits are signed words too.
  const bool isSigned = DataType == dtSigned;
  DefaultRaw = LimitWord(w.Default, isSigned);
  MinRaw = LimitWord(w.Minimum, isSigned);
  MaxRaw = LimitWord(w.Maximum, isSigned);
  double scale = 0.0;
  int32_t offset = w.Offset;
  if (isFlag && answer.Complete) {
    // A flag is available when its bit may be set at all.
    scale = (MaxRaw >> BitNumber) & 1;
    DefaultRaw = (DefaultRaw >> BitNumber) & 1;
    MaxRaw = 1;
    MinRaw = 0;
    offset = 0;
  } else if (w.Scale > 0) {
    scale = w.Scale;
  } else if (w.Scale < 0) {
    scale = 1.0 / std::abs(int(w.Scale));
  }
  SetOffset(offset);
  SetScale(scale);
  return answer.Complete;
}

// ---- writing by index --------------------------------------------------------------

bool TExtendedVariable::WriteByIndex(TBusDriver& driver, int32_t value) {
  if (AccessKind != vkSetting || DataType != dtBit) return SendIndexedValue(driver, value);
  // A flag is one bit of a setting word: read the word, change the bit, write it.
  const int32_t wanted = RawValue;
  DataType = dtWord;
  const bool readOk = Read(driver, false);
  uint32_t word = static_cast<uint32_t>(RawValue);
  SetBit(word, BitNumber, wanted != 0);
  const bool ok = readOk && SendIndexedValue(driver, static_cast<int32_t>(word));
  RawValue = wanted;
  DataType = dtBit;
  return ok;
}

bool TExtendedVariable::SendIndexedValue(TBusDriver& driver, int32_t value) {
  const bool isSetting = AccessKind == vkSetting;
  std::string reply;
  if (CombinedWrite) {
    reply = BuildCommand(dev::CombinedWrite, isSetting ? 1 : 0, LowByte(Address), LowByte(value),
                         HighByte(value));
    if (driver.Query(reply, 255, -1) < 1) return false;
  } else {
    if (!driver.SendAndConfirm(BuildCommand(isSetting ? dev::SettingSelect : dev::RamVariableSelect,
                                            LowByte(Address), HighByte(Address)),
                               255)) {
      return false;
    }
    reply = BuildCommand(dev::SelectedValueWrite, LowByte(value), HighByte(value));
    if (driver.Query(reply, 255, -1) < 1) return false;
  }
  return !reply.empty() && static_cast<uint8_t>(reply[0]) ==
                               (isSetting ? dev::SettingWritten : dev::RamVariableWritten);
}
