#include "widgets/registry_key.h"

namespace twinbay {

const char kBaseKey[] = "software\\Kestrion\\Twinbay";

QString CRegistryKey::GroupFor(const QString& registryPath) {
  QString p = registryPath;
  const QString base = QString::fromLatin1(kBaseKey);
  if (p.startsWith(base, Qt::CaseInsensitive)) p = p.mid(base.size());
  p.replace('\\', '/');
  while (p.startsWith('/')) p.remove(0, 1);
  while (p.endsWith('/')) p.chop(1);
  return p;
}

bool CRegistryKey::Open(const QString& path) {
  group_ = GroupFor(path);
  settings_ = std::make_unique<QSettings>();
  return settings_->status() == QSettings::NoError;
}

static QString Key(const QString& group, const QString& name) { return group.isEmpty() ? name : group + "/" + name; }

quint32 CRegistryKey::GetDword(const QString& name, quint32 defaultValue) const {
  if (!settings_) return defaultValue;
  const QVariant v = settings_->value(Key(group_, name));
  bool ok = false;
  const quint32 n = v.toUInt(&ok);
  return ok ? n : defaultValue;
}

void CRegistryKey::SetDword(const QString& name, quint32 value) {
  if (settings_) settings_->setValue(Key(group_, name), value);
}

QString CRegistryKey::GetString(const QString& name) const {
  return settings_ ? settings_->value(Key(group_, name)).toString() : QString();
}

void CRegistryKey::SetString(const QString& name, const QString& text) {
  if (settings_) settings_->setValue(Key(group_, name), text);
}

bool CRegistryKey::Exists(const QString& name) const { return settings_ && settings_->contains(Key(group_, name)); }

bool CRegistryKey::DeleteTree(const QString& name) {
  if (!settings_ || name.isEmpty()) return false;
  settings_->remove(Key(group_, name));
  return true;
}

void CRegistryKey::Sync() {
  if (settings_) settings_->sync();
}

}  // namespace twinbay
