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
int Clamped(int Position, const TProgressState& S) {
  return std::clamp(Position, std::min(S.Min, S.Max), std::max(S.Min, S.Max));
}

void LayOut(TProgressState& S, const QString& Caption, const QString& Info, int Position, int Max,
            int Min) {
  S.Caption = Caption;
  S.Info = Info;
  S.BarVisible = Position >= Min;
  if (!S.BarVisible) return;
  // |INT_MIN| does not fit; the largest bar is good enough.
  S.Max = Max == INT_MIN ? INT_MAX : std::abs(Max);
  S.Min = Min;
  S.Position = Clamped(Position, S);
  S.StepSize = 1;
  S.Busy.clear();
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

std::unique_ptr<TProgressSink> SetProgressSink(std::unique_ptr<TProgressSink> Sink) {
  return std::exchange(Unit().Sink, std::move(Sink));
}

void ShowProgress(const QString& Caption, const QString& Info, int Position, int Max, int Min,
                  bool Reuse) {
  TProgressUnit& U = Unit();
  if (Caption.isEmpty() && Info.isEmpty()) {
    CloseTop();
    return;
  }
  const bool Open = !Reuse || U.Stack.empty();
  if (Open) U.Stack.emplace_back();
  LayOut(U.Stack.back(), Caption, Info, Position, Max, Min);
  if (!U.Sink) return;
  if (Open)
    U.Sink->Opened(Depth(), U.Stack.back());
  else
    U.Sink->Relaid(Depth(), U.Stack.back());
}

void UpdateProgress(const QString& Info, int Position, const QString& Caption) {
  TProgressState* S = Top();
  if (!S) return;
  if (Caption != KeepText) S->Caption = Caption;
  if (Info != KeepText) S->Info = Info;
  if (Position != KeepPosition) S->Position = Clamped(Position, *S);
  S->Busy.clear();
  Changed();
}

void SetProgressTexts(const QString& Info, const QString& Caption) {
  UpdateProgress(Info, KeepPosition, Caption);
}

void SetProgressPosition(int Position) {
  UpdateProgress(KeepText, Position, KeepText);
}

void StepProgress(int N) {
  TProgressState* S = Top();
  if (!S) return;
  if (N > 0) {
    if (S->Min != 0 || S->Max != StepScale) {
      S->Max = StepScale;
      S->Min = 0;
      S->Position = 0;
    }
    S->StepSize = (StepScale - S->Position) / N + 1;
  }
  if (N >= 0) {
    SetProgressPosition(static_cast<int>(
        std::min<std::int64_t>(std::int64_t(S->Position) + S->StepSize, KeepPosition - 1)));
    return;
  }
  for (int i = 0; i < -std::int64_t(N); ++i) {
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

int IgnoreKeys(int Key) {
  return Key == 13 ? Key : 32;
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

int ProgressPercent(const TProgressState& State) {
  const std::int64_t Span = std::max<std::int64_t>(std::int64_t(State.Max) - State.Min, 1);
  return static_cast<int>(
      std::clamp<std::int64_t>((std::int64_t(State.Position) - State.Min) * 100 / Span, 0, 100));
}

void DrawProgressLine(std::FILE* Out, const TProgressState& State, const std::string& Text,
                      const std::string& Detail) {
  if (!State.BarVisible) {
    std::fprintf(Out, "\r\033[K%s %s", Text.c_str(), State.Busy.toLocal8Bit().constData());
    return;
  }
  constexpr int Width = 30;
  const int Percent = ProgressPercent(State);
  const int Filled = Percent * Width / 100;
  const std::string Spaced = Detail.empty() ? Detail : " " + Detail;
  std::fprintf(Out, "\r\033[K[%s%s] %3d%%%s %s", std::string(Filled, '#').c_str(),
               std::string(Width - Filled, ' ').c_str(), Percent, Spaced.c_str(), Text.c_str());
}

namespace {

// One line on a terminal, rewritten in place: "[#####     ]  45%  info".
class TConsoleProgress : public TProgressSink {
 public:
  explicit TConsoleProgress(std::FILE* Out) : F(Out) {}

  void Opened(int, const TProgressState& S) override { Draw(S); }
  void Relaid(int, const TProgressState& S) override { Draw(S); }
  void Changed(int, const TProgressState& S) override { Draw(S); }
  void Closed(int Depth) override {
    std::fputs(Depth == 0 ? "\r\033[K" : "\n", F);
    std::fflush(F);
  }

 private:
  void Draw(const TProgressState& S) {
    const QByteArray Text =
        (S.Caption + QStringLiteral(": ") + S.Info).simplified().toLocal8Bit().left(60);
    DrawProgressLine(F, S, Text.toStdString());
    std::fflush(F);
  }

  std::FILE* F;
};

}  // namespace

std::unique_ptr<TProgressSink> MakeConsoleProgressSink(std::FILE* Out) {
  return std::make_unique<TConsoleProgress>(Out);
}

bool InstallConsoleProgress() {
  if (!IsTerminal(stderr)) return false;
  SetProgressSink(MakeConsoleProgressSink(stderr));
  return true;
}
