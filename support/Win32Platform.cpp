// The support layer's platform side on Windows.

#include <io.h>
#include <windows.h>

#include <QSettings>

#include "support/Platform.h"

TThreadPriority RaiseCurrentThreadToTimeCritical() {
  TThreadPriority granted;
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  const int priority = GetThreadPriority(GetCurrentThread());
  granted.Level = priority;
  if (priority == THREAD_PRIORITY_TIME_CRITICAL) {
    granted.Kind = TThreadPriority::tpHighest;
    granted.Text = "time-critical priority";
  } else if (priority > THREAD_PRIORITY_NORMAL && priority != THREAD_PRIORITY_ERROR_RETURN) {
    granted.Kind = TThreadPriority::tpRaised;
    granted.Text = "raised priority " + std::to_string(priority);
  } else {
    granted.Kind = TThreadPriority::tpNormal;
    granted.Text = "normal priority (time-critical refused)";
  }
  return granted;
}

const char* PlatformLineBreak() {
  return "\r\n";
}

bool StreamIsTerminal(std::FILE* stream) {
  return _isatty(_fileno(stream)) != 0;
}

void RemoveSettingsStore(std::unique_ptr<QSettings>& store) {
  const QString title = store->applicationName();
  const QString company = store->organizationName();
  store.reset();
  QSettings parent("HKEY_CURRENT_USER\\Software\\" + company, QSettings::NativeFormat);
  parent.remove(title);
}
