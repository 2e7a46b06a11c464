#pragma once
// One value inside the connected device, read and written through a bus driver:
// by device memory address, or by identifier (a RAM variable, a setting, or one
// bit of a setting word). The variable keeps the raw value locally; callers store
// a raw value and write it, or read and then take the raw value.
//
// A variable is used from one thread at a time and holds no lock. It never
// stores the driver: every bus operation takes it as an argument.

#include <QString>
#include <cstdint>

class TBusDriver;

// Width and bit layout of a value. Callers assign DataType with these numbers.
enum TDataType : uint8_t {
  dtByte = 0,    // unsigned byte
  dtSigned = 1,  // signed 16-bit
  dtWord = 2,    // unsigned 16-bit
  dtBit = 3,     // one bit (BitNumber)
  dtPacked = 4,  // 16-bit: 2-bit range code, 14-bit mantissa
};

// Where a value lives.
enum TVariableKind : uint8_t {
  vkNone = 0,     // nowhere: no bus traffic
  vkMemory = 1,   // device memory address
  vkRamVar = 2,   // RAM variable by index
  vkSetting = 3,  // setting by index
};

// ControllerType is the driver's byte (TBusDriver::ControllerType), set by the
// caller from the device's firmware version; memory writes below 0x2100 need it.
constexpr uint8_t ctUndefined = 0;
constexpr uint8_t ctFirstGeneration = 1;
constexpr uint8_t ctSecondGeneration = 2;

// Stored in RawValue before a read; a read that leaves it there failed.
constexpr int32_t NotReadSentinel = 2147483647;

// Logged (text logger) when a memory write below 0x2100 comes without a controller
// type, a programming fault of the caller; the write fails.
inline constexpr const char* ControllerTypeUndefinedMessage =
    "Internal error, controller type not defined!";

class TExtendedVariable {
 public:
  // Parses the description (a parse error is ignored: what was parsed stays).
  explicit TExtendedVariable(const QString& description = QString(), bool combinedWrite = false);
  virtual ~TExtendedVariable() = default;

  TExtendedVariable(const TExtendedVariable&) = default;
  TExtendedVariable& operator=(const TExtendedVariable&) = default;

  // Fields, in declared order.
  uint8_t BitNumber = 0;
  int32_t DefaultRaw = 0;
  int32_t MinRaw = 0;
  int32_t MaxRaw = 0;
  char DisplayFormat = 'D';  // '0'..'9' decimals, 'B' binary, 'D' three decimals, 'H' hex
  bool CombinedWrite = false;
  TVariableKind AccessKind = vkNone;
  uint16_t Address = 65535;
  TDataType DataType = dtByte;
  int32_t DeviceValue = 0;
  int32_t RawValue = 0;
  int32_t Offset = 0;  // raw units, added before scaling
  double Scale = 0.0;  // engineering units per raw unit; 0 = not available
  bool ReadFailed = true;

  // Virtual operations, in slot order.
  virtual bool ReadRaw(TBusDriver& driver, int32_t& raw);                // 0
  virtual uint8_t GetIdentifier() const;                                 // 1
  virtual void SetIdentifier(uint8_t id);                                // 2
  virtual void SetValueText(const QString& text);                        // 3
  virtual QString GetText() const;                                       // 4
  virtual void SetValue(double x);                                       // 5
  virtual void SetValueLimited(double x);                                // 6
  virtual double GetValue() const;                                       // 7
  virtual void SetRaw(int32_t v);                                        // 8
  virtual int32_t GetRaw() const;                                        // 9
  virtual void SetDefault(int32_t v);                                    // 10
  virtual int32_t GetDefault() const;                                    // 11
  virtual void SetMin(int32_t v);                                        // 12
  virtual int32_t GetMin() const;                                        // 13
  virtual void SetMax(int32_t v);                                        // 14
  virtual int32_t GetMax() const;                                        // 15
  virtual void SetScale(double x);                                       // 16
  virtual double GetScale() const;                                       // 17
  virtual void SetOffset(int32_t v);                                     // 18
  virtual int32_t GetOffset() const;                                     // 19
  virtual void MarkChanged(bool changed);                                // 20
  virtual bool IsModified() const;                                       // 21
  virtual bool ReadInfo(TBusDriver& driver);                             // 22
  virtual bool Read(TBusDriver& driver, bool throughAccessors = true);   // 23
  virtual bool Write(TBusDriver& driver, bool throughAccessors = true);  // 24
  virtual bool IsAvailable() const;                                      // 25
  virtual void UpdateDecimals();                                         // 26
  virtual int32_t GetDeviceValue() const;                                // 27

  // Resets the variable and reads the description ("$2100 W", "100 S0.1 O5 $",
  // "$21A8^3"). Returns false and sets errorText to the failing token on error.
  bool Parse(const QString& description, QString& errorText);
  int32_t DecodeRaw(int32_t raw) const;
  double RawToValue(int32_t raw) const;
  int32_t ValueToRaw(bool clamp, double x) const;
  TExtendedVariable& SetRawValue(int32_t v);
  QString FormatValue(double x) const;

 private:
  bool ParseBitForm(const QString& description, QString& errorText);
  bool WriteMemory(TBusDriver& driver, int32_t value);
  bool WriteMemoryWord(TBusDriver& driver, int32_t value);
  bool WriteMemoryBit(TBusDriver& driver, int32_t value);
  bool WriteByIndex(TBusDriver& driver, int32_t value);
  bool SendIndexedValue(TBusDriver& driver, int32_t value);
  bool ReadRamVarInfo(TBusDriver& driver, uint8_t id);
  bool ReadSettingInfo(TBusDriver& driver, uint8_t id);
};

// Reads a number text: optional "-", then "$" + hex digits (0-9, A-F), "%" +
// binary digits, or a decimal floating-point number. False on anything else.
bool ParseNumberText(const QString& text, double& value);

// The variable unit: declares its string and clears the information cache.
// A second start is a no-op.
void StartUnitExtendedVariable();
void StopUnitExtendedVariable();
