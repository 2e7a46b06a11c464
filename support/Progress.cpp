#include "support/Progress.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <utility>
#include <vector>

#include "support/Tools.h"

namespace {

struct TProgressUnit {
  std::vector<TProgressState> Stack;  // newest last
  std::unique_ptr<TProgressSink> Sink;
};

TProgressUnit& Unit() {
  static TProgressUnit State;
  return State;
}

int Depth() {
  return static_cast<int>(Unit().Stack.size());
}

TProgressState* Top() {
  return Unit().Stack.empty() ? nullptr : &Unit().Stack.back();
}

// A bar cannot stand outside its range.
int Clamped(int position, const TProgressState& s) {
  return std::clamp(position, std::min(s.Min, s.Max), std::max(s.Min, s.Max));
}

void LayOut(TProgressState& s, const QString& caption, const QString& info, int position, int max,
            int min) {
  s.Caption = caption;
  s.Info = info;
  s.BarVisible = position >= min;
  if (!s.BarVisible) return;
  // |INT_MIN| does not fit; the largest bar is good enough.
  s.Max = max == INT_MIN ? INT_MAX : std::abs(max);
  s.Min = min;
  s.Position = Clamped(position, s);
  s.StepSize = 1;
  s.Busy.clear();
}

void CloseTop() {
  TProgressUnit& U = Unit();
  if (U.Stack.empty()) return;
  U.Stack.pop_back();
  if (U.Sink) U.Sink->Closed(Depth());
}

void Changed() {
  if (Unit().Sink && Top()) Unit().Sink->Changed(Depth(), *Top());
}

}  // namespace

std::unique_ptr<TProgressSink> SetProgressSink(std::unique_ptr<TProgressSink> sink) {
  return std::exchange(Unit().Sink, std::move(sink));
}

void ShowProgress(const QString& caption, const QString& info, int position, int max, int min,
                  bool reuse) {
  TProgressUnit& U = Unit();
  if (caption.isEmpty() && info.isEmpty()) {
    CloseTop();
    return;
  }
  const bool Open = !reuse || U.Stack.empty();
  if (Open) U.Stack.emplace_back();
  LayOut(U.Stack.back(), caption, info, position, max, min);
  if (!U.Sink) return;
  if (Open)
    U.Sink->Opened(Depth(), U.Stack.back());
  else
    U.Sink->Relaid(Depth(), U.Stack.back());
}

void UpdateProgress(const QString& info, int position, const QString& caption) {
  TProgressState* S = Top();
  if (!S) return;
  if (caption != KeepText) S->Caption = caption;
  if (info != KeepText) S->Info = info;
  if (position != KeepPosition) S->Position = Clamped(position, *S);
  S->Busy.clear();
  Changed();
}

void SetProgressTexts(const QString& info, const QString& caption) {
  UpdateProgress(info, KeepPosition, caption);
}

void SetProgressPosition(int position) {
  UpdateProgress(KeepText, position, KeepText);
}

void StepProgress(int n) {
  TProgressState* S = Top();
  if (!S) return;
  if (n > 0) {
    if (S->Min != 0 || S->Max != StepScale) {
      S->Max = StepScale;
      S->Min = 0;
      S->Position = 0;
    }
    S->StepSize = (StepScale - S->Position) / n + 1;
  }
  if (n >= 0) {
    SetProgressPosition(static_cast<int>(
        std::min<std::int64_t>(std::int64_t(S->Position) + S->StepSize, KeepPosition - 1)));
    return;
  }
  for (int i = 0; i < -std::int64_t(n); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    StepProgress(0);
  }
}

void TickBusy() {
  TProgressState* S = Top();
  if (!S) return;
  if (S->Busy.size() > 17) S->Busy.clear();
  S->Busy += QStringLiteral(".  ");
  Changed();
}

int IgnoreKeys(int key) {
  return key == 13 ? key : 32;
}

int ProgressDepth() {
  return Depth();
}

const TProgressState* CurrentProgress() {
  return Top();
}

void StartUnitProgress() {}

void StopUnitProgress() {
  while (Depth() > 0) CloseTop();
}

// ---------------------------------------------------------------- console

int ProgressPercent(const TProgressState& state) {
  const std::int64_t Span = std::max<std::int64_t>(std::int64_t(state.Max) - state.Min, 1);
  return static_cast<int>(
      std::clamp<std::int64_t>((std::int64_t(state.Position) - state.Min) * 100 / Span, 0, 100));
}

void DrawProgressLine(std::FILE* out, const TProgressState& state, const std::string& text,
                      const std::string& detail) {
  if (!state.BarVisible) {
    std::fprintf(out, "\r\033[K%s %s", text.c_str(), state.Busy.toLocal8Bit().constData());
    return;
  }
  constexpr int Width = 30;
  const int Percent = ProgressPercent(state);
  const int Filled = Percent * Width / 100;
  const std::string Spaced = detail.empty() ? detail : " " + detail;
  std::fprintf(out, "\r\033[K[%s%s] %3d%%%s %s", std::string(Filled, '#').c_str(),
               std::string(Width - Filled, ' ').c_str(), Percent, Spaced.c_str(), text.c_str());
}

namespace {

// One line on a terminal, rewritten in place: "[#####     ]  45%  info".
class TConsoleProgress : public TProgressSink {
 public:
  explicit TConsoleProgress(std::FILE* out) : F(out) {}

  void Opened(int, const TProgressState& s) override { Draw(s); }
  void Relaid(int, const TProgressState& s) override { Draw(s); }
  void Changed(int, const TProgressState& s) override { Draw(s); }
  void Closed(int depth) override {
    std::fputs(depth == 0 ? "\r\033[K" : "\n", F);
    std::fflush(F);
  }

 private:
  void Draw(const TProgressState& s) {
    const QByteArray Text =
        (s.Caption + QStringLiteral(": ") + s.Info).simplified().toLocal8Bit().left(60);
    DrawProgressLine(F, s, Text.toStdString());
    std::fflush(F);
  }

  std::FILE* F;
};

}  // namespace

std::unique_ptr<TProgressSink> MakeConsoleProgressSink(std::FILE* out) {
  return std::make_unique<TConsoleProgress>(out);
}

bool InstallConsoleProgress() {
  if (!IsTerminal(stderr)) return false;
  SetProgressSink(MakeConsoleProgressSink(stderr));
  return true;
}
