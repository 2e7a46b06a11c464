#include "sim/Simulator.h"

#include "serial/PortMap.h"
#include "sim/SimEquipment.h"

using namespace std::chrono_literals;

namespace {
constexpr auto kClockPeriod = 5ms;
}  // namespace

// ---- equipment set -------------------------------------------------------------

TSimEquipmentSet::TSimEquipmentSet(const TSimOptions& options, TSimSink& sink)
    : Out(sink, options.Faults, Stats), Device(options, Stats), Units(options, TLineClock::now()) {
  Device.Silent = options.Faults.DeviceSilent;
  if (options.Interface == TSimInterface::Bx1)
    Bx1 = std::make_unique<TSimBx1>(Device, Out, Stats);
  else
    Bx2 = std::make_unique<TSimBx2>(options, Device, Out, Stats);
}

TSimEquipmentSet::~TSimEquipmentSet() {
  Stop();
}

void TSimEquipmentSet::Start() {
  std::lock_guard lock(ClockMutex);
  if (Clock.joinable()) return;
  Stopping = false;
  Clock = std::thread([this] { ClockLoop(); });
}

void TSimEquipmentSet::Stop() {
  {
    std::lock_guard lock(ClockMutex);
    Stopping = true;
  }
  ClockWake.notify_all();
  if (Clock.joinable() && Clock.get_id() != std::this_thread::get_id()) Clock.join();
}

void TSimEquipmentSet::ClockLoop() {
  std::unique_lock lock(ClockMutex);
  while (!Stopping) {
    lock.unlock();
    Tick(TLineClock::now());
    lock.lock();
    ClockWake.wait_for(lock, kClockPeriod, [this] { return Stopping; });
  }
}

void TSimEquipmentSet::OnByte(const TWireByte& byte, TLineTime at) {
  std::lock_guard lock(Mutex);
  if (Bx1)
    Bx1->OnByte(byte, at);
  else
    Bx2->OnByte(byte, at);
}

void TSimEquipmentSet::OnLine(const TLineState& state, TLineTime at) {
  std::lock_guard lock(Mutex);
  if (Bx2) Bx2->OnLine(state, at);
}

void TSimEquipmentSet::Tick(TLineTime now) {
  std::lock_guard lock(Mutex);
  ++Stats.ClockTicks;
  Units.Tick(now, Device);
  if (Bx2) Bx2->OnTick(now);
}

void TSimEquipmentSet::With(const std::function<void(TParts&)>& f) {
  std::lock_guard lock(Mutex);
  TParts parts{Device, Bx2.get(), Out, Stats, Units};
  f(parts);
}

// ---- virtual line transport ------------------------------------------------------

namespace {
class TSimLineAdapter : public TVirtualDevice, public TSimSink {
 public:
  explicit TSimLineAdapter(std::weak_ptr<TVirtualLine> line) : Line(std::move(line)) {}
  void Bind(std::shared_ptr<TSimEquipmentSet> set) { Set = std::move(set); }

  void OnHostByte(TVirtualLine&, const TWireByte& byte, TLineTime arrival) override {
    if (Set) Set->OnByte(byte, arrival);
  }
  void OnLineChange(TVirtualLine&, const TLineState& state, TLineTime when) override {
    if (Set) Set->OnLine(state, when);
  }
  void Emit(const std::vector<TWireByte>& chars, TLineTime start) override {
    if (auto line = Line.lock()) line->SendToHost(chars, start);
  }
  void CancelPending() override {
    if (auto line = Line.lock()) line->CancelToHost();
  }
  void SetVanished(bool vanished) override {
    auto line = Line.lock();
    if (!line) return;
    if (vanished)
      line->Vanish();
    else
      line->Reconnect();
  }

 private:
  std::weak_ptr<TVirtualLine> Line;
  std::shared_ptr<TSimEquipmentSet> Set;
};
}  // namespace

// ---- simulation ------------------------------------------------------------------

TSimulation::TSimulation(TSimOptions options)
    : Opts(std::move(options)), VirtualLine(std::make_shared<TVirtualLine>(Opts.Paced)) {
  auto adapter = std::make_shared<TSimLineAdapter>(VirtualLine);
  Equipment = std::make_shared<TSimEquipmentSet>(Opts, *adapter);
  adapter->Bind(Equipment);
  VirtualLine->AttachDevice(adapter);
  Equipment->Start();
}

TSimulation::~TSimulation() {
  Equipment->Stop();
  if (RegisteredPort != 0) UnregisterVirtualPort(RegisteredPort);
  VirtualLine->DetachDevice();
}

int TSimulation::RegisterAsPort(int number) {
  StartUnitPortMap();
  if (RegisteredPort != 0) UnregisterVirtualPort(RegisteredPort);
  if (number <= 0) {
    RegisteredPort = RegisterVirtualPortAnywhere(VirtualLine);
  } else if (number <= MaxPortNumber) {
    RegisterVirtualPort(number, VirtualLine);
    RegisteredPort = number;
  } else {
    RegisteredPort = 0;
  }
  return RegisteredPort;
}

uint8_t TSimulation::ReadByte(uint16_t address) const {
  uint8_t v = 0;
  Equipment->With([&](auto& p) { v = p.Device.Byte(address); });
  return v;
}

uint16_t TSimulation::ReadWord(uint16_t address) const {
  uint16_t v = 0;
  Equipment->With([&](auto& p) { v = p.Device.Word(address); });
  return v;
}

void TSimulation::WriteByte(uint16_t address, uint8_t value) {
  Equipment->With([&](auto& p) { p.Device.SetByte(address, value); });
}

void TSimulation::WriteWord(uint16_t address, uint16_t value) {
  Equipment->With([&](auto& p) {
    p.Device.SetByte(address, static_cast<uint8_t>(value & 0xFF));
    p.Device.SetByte(static_cast<uint16_t>(address + 1), static_cast<uint8_t>(value >> 8));
  });
}

bool TSimulation::EepromWritesEnabled() const {
  bool v = false;
  Equipment->With([&](auto& p) { v = p.Device.WritesEnabled(); });
  return v;
}

std::vector<TSimMemoryWrite> TSimulation::Writes() const {
  std::vector<TSimMemoryWrite> v;
  Equipment->With([&](auto& p) { v = p.Device.Writes(); });
  return v;
}

std::vector<std::pair<uint16_t, uint16_t>> TSimulation::ChangedWords() const {
  std::vector<std::pair<uint16_t, uint16_t>> v;
  Equipment->With([&](auto& p) { v = p.Device.ChangedWords(); });
  return v;
}

uint16_t TSimulation::RamVariable(int index) const {
  uint16_t v = 0;
  Equipment->With([&](auto& p) { v = p.Device.RamVariable(index); });
  return v;
}

uint16_t TSimulation::Setting(int index) const {
  uint16_t v = 0;
  Equipment->With([&](auto& p) { v = p.Device.Setting(index); });
  return v;
}

bool TSimulation::DeviceInBootLoader() const {
  bool v = false;
  Equipment->With([&](auto& p) { v = p.Device.InBootLoader(); });
  return v;
}

uint32_t TSimulation::DeviceVersion() const {
  uint32_t v = 0;
  Equipment->With([&](auto& p) { v = p.Device.Version(); });
  return v;
}

TSimInterface TSimulation::InterfaceState() const {
  TSimInterface v = TSimInterface::Bx1;
  Equipment->With([&](auto& p) {
    if (p.Bx2) v = p.Bx2->State();
  });
  return v;
}

uint32_t TSimulation::InterfaceVersion() const {
  uint32_t v = 0;
  Equipment->With([&](auto& p) {
    if (p.Bx2) v = p.Bx2->Version();
  });
  return v;
}

TSimBusMode TSimulation::BusMode() const {
  TSimBusMode v = TSimBusMode::KMBus;
  Equipment->With([&](auto& p) {
    if (p.Bx2) v = p.Bx2->Mode();
  });
  return v;
}

uint8_t TSimulation::SelectedAddress() const {
  uint8_t v = 0;
  Equipment->With([&](auto& p) {
    if (p.Bx2) v = p.Bx2->Selected();
  });
  return v;
}

std::vector<uint8_t> TSimulation::StateBlock() const {
  std::vector<uint8_t> v;
  Equipment->With([&](auto& p) {
    if (p.Bx2) {
      auto block = p.Bx2->StateBlock();
      v.assign(block.begin(), block.end());
    }
  });
  return v;
}

void TSimulation::SetSilent(bool silent) {
  Equipment->With([&](auto& p) {
    if (p.Bx2) p.Bx2->SetSilent(silent);
  });
}

void TSimulation::SetDeviceSilent(bool silent) {
  Equipment->With([&](auto& p) { p.Device.Silent = silent; });
}

void TSimulation::SetFaults(const TSimFaults& faults) {
  Equipment->With([&](auto& p) {
    p.Out.SetFaults(faults);
    p.Device.Silent = faults.DeviceSilent;
  });
}

void TSimulation::PowerCycle() {
  Equipment->With([&](auto& p) {
    if (p.Bx2) p.Bx2->PowerCycle(TLineClock::now());
    p.Device.PowerCycle();
  });
}

void TSimulation::Vanish() {
  VirtualLine->Vanish();
}
void TSimulation::Reconnect() {
  VirtualLine->Reconnect();
}

TSimStats TSimulation::Stats() const {
  TSimStats v;
  Equipment->With([&](auto& p) { v = p.Stats; });
  return v;
}

std::vector<TSimUnitRecord> TSimulation::Units() const {
  std::vector<TSimUnitRecord> v;
  Equipment->With([&](auto& p) { v = p.Units.Records(p.Device); });
  return v;
}

void TSimulation::TakeUnitAway() {
  Equipment->With([&](auto& p) { p.Units.TakeAway(p.Device); });
}

void TSimulation::AttachNextUnit(int32_t calibrationSource) {
  Equipment->With(
      [&](auto& p) { p.Units.AttachNext(p.Device, calibrationSource, TLineClock::now()); });
}
