// Reading and writing a variable through a bus driver: the read requests of every
// access kind and the memory write commands.

#include "link/BusDriver.h"
#include "link/ProtocolCodes.h"
#include "support/Textlogger.h"
#include "variables/ExtendedVariable.h"
#include "variables/VariableMath.h"

namespace {

constexpr uint32_t FirstGenerationLimit = 512;

struct TReadCommand {
  uint8_t Command;
  uint8_t Reply;
};

bool ReadCommandFor(TVariableKind kind, TReadCommand& command) {
  switch (kind) {
    case vkMemory:
      command = {dev::MemoryRead, dev::MemoryValue};
      return true;
    case vkRamVar:
      command = {dev::RamVariableRead, dev::RamVariableValue};
      return true;
    case vkSetting:
      command = {dev::SettingRead, dev::SettingValue};
      return true;
    case vkNone:
      break;
  }
  return false;
}

// The write command for one byte (or bit) at address; false when the controller
// cannot write there, or when low memory is addressed without a controller type.
bool MemoryCommand(uint32_t address, uint8_t controllerType, bool bit, uint8_t& command) {
  if (address >= dev::HighMemoryStart) {  // the low address byte only
    command = dev::WriteHighMemory;
    return true;
  }
  const uint8_t page = static_cast<uint8_t>(address >> 8);
  if (controllerType == ctFirstGeneration) {
    if (address >= FirstGenerationLimit) return false;
    command = bit ? dev::WriteBitPageOne : (address < 256 ? dev::WriteLowPage : dev::WritePageOne);
    return true;
  }
  if (controllerType == ctSecondGeneration) {
    command = static_cast<uint8_t>((bit ? dev::WriteBitPageBase : dev::WritePageBase) + page);
    return true;
  }
  // The caller did not classify the device: a fault of ours, noted for the developer;
  // the write fails with nothing sent rather than guess a page command.
  LogText(ControllerTypeUndefinedMessage);
  return false;
}

}  // namespace

bool TExtendedVariable::ReadRaw(TBusDriver& driver, int32_t& raw) {
  if (AccessKind == vkNone) {
    ReadFailed = false;
    return true;
  }
  TReadCommand command{};
  ReadFailed = true;
  if (!ReadCommandFor(AccessKind, command)) return false;
  std::string text = BuildCommand(command.Command, LowByte(Address), HighByte(Address));
  const int length = driver.Query(text, 255, -1);
  if (length >= 2 && text.size() >= 2 && static_cast<uint8_t>(text[0]) == command.Reply) {
    ReadFailed = false;
    uint32_t value = 0;
    const size_t count = std::min<size_t>(4, text.size() - 1);
    for (size_t i = 0; i < count; ++i) {
      value |= uint32_t(static_cast<uint8_t>(text[i + 1])) << (8 * i);
    }
    raw = static_cast<int32_t>(value);
  }
  return !ReadFailed;
}

bool TExtendedVariable::Read(TBusDriver& driver, bool throughAccessors) {
  int32_t raw = 0;
  if (!ReadRaw(driver, raw)) return false;
  const int32_t value = DecodeRaw(raw);
  DeviceValue = value;
  if (throughAccessors)
    SetRaw(value);
  else
    RawValue = value;
  return true;
}

bool TExtendedVariable::Write(TBusDriver& driver, bool throughAccessors) {
  const int32_t value = throughAccessors ? GetRaw() : RawValue;
  switch (AccessKind) {
    case vkMemory:
      return WriteMemory(driver, value);
    case vkRamVar:
    case vkSetting:
      return WriteByIndex(driver, value);
    case vkNone:
      break;
  }
  // Nothing to write to: not a success.
  return false;
}

bool TExtendedVariable::WriteMemory(TBusDriver& driver, int32_t value) {
  switch (DataType) {
    case dtByte: {
      uint8_t command = 0;
      if (!MemoryCommand(Address, driver.ControllerType.load(), false, command)) return false;
      return driver.SendAndConfirm(BuildCommand(command, LowByte(Address), LowByte(value)), 255);
    }
    case dtSigned:
    case dtWord:
    case dtPacked:
      return WriteMemoryWord(driver, value);
    case dtBit:
      return WriteMemoryBit(driver, value);
  }
  return false;
}

// High byte first, at the next address; the low byte only when that was accepted.
bool TExtendedVariable::WriteMemoryWord(TBusDriver& driver, int32_t value) {
  const uint8_t controllerType = driver.ControllerType.load();
  uint8_t lowCommand = 0;
  uint8_t highCommand = 0;
  if (!MemoryCommand(Address, controllerType, false, lowCommand)) return false;
  // The next address may lie in the next page, which has a command of its own;
  // high memory has only one page for its single address byte.
  const uint32_t next = uint32_t(Address) + 1;
  if (Address >= dev::HighMemoryStart && (Address & 0xFF) == 0xFF) return false;
  if (!MemoryCommand(next, controllerType, false, highCommand)) return false;
  if (!driver.SendAndConfirm(BuildCommand(highCommand, LowByte(next), HighByte(value)), 255)) {
    return false;
  }
  return driver.SendAndConfirm(BuildCommand(lowCommand, LowByte(Address), LowByte(value)), 255);
}

bool TExtendedVariable::WriteMemoryBit(TBusDriver& driver, int32_t value) {
  uint8_t command = 0;
  if (!MemoryCommand(Address, driver.ControllerType.load(), true, command)) return false;
  // A memory bit lives in one byte.
  if (BitNumber > 7) return false;
  if (Address < dev::HighMemoryStart) {
    const int data = ((Address >> 8) & 1) + 2 * BitNumber + (value == 1 ? 16 : 0);
    return driver.SendAndConfirm(BuildCommand(command, LowByte(Address), data), 255);
  }
  int32_t raw = 0;
  if (!ReadRaw(driver, raw)) return false;
  uint8_t data = LowByte(raw);
  const uint8_t mask = static_cast<uint8_t>(1u << BitNumber);
  data = value == 1 ? (data | mask) : (data & ~mask);
  return driver.SendAndConfirm(BuildCommand(command, LowByte(Address), data), 255);
}
