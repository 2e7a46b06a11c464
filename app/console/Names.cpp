#include "app/console/Names.h"

#include <QRegularExpression>
#include <QString>

#include "variables/Identifiers.h"

namespace {

bool NameMatches(const QString& name, const QString& pattern) {
  if (pattern.isEmpty()) return true;
  if (!pattern.contains(u'*') && !pattern.contains(u'?'))
    return name.contains(pattern, Qt::CaseInsensitive);
  const QRegularExpression wildcard(QRegularExpression::wildcardToRegularExpression(pattern),
                                    QRegularExpression::CaseInsensitiveOption);
  return wildcard.match(name).hasMatch();
}

const char* KindWord(TIdentifierClass kind) {
  switch (kind) {
    case icRamVar:
      return "variable";
    case icFlag:
      return "flag";
    default:
      return "setting";
  }
}

}  // namespace

std::string ListIdentifierNames(const std::string& pattern) {
  const QString wanted = QString::fromStdString(pattern);
  std::string lines;
  for (int id = 1; id < IdentifierCount; ++id) {
    const auto identifier = static_cast<uint8_t>(id);
    const QString name = IdentifierName(identifier);
    if (name.isEmpty() || FindIdentifier(name) != id || !NameMatches(name, wanted)) continue;
    lines += name.toStdString() + "\t" + KindWord(ClassifyIdentifier(identifier)) + "\n";
  }
  return lines;
}
