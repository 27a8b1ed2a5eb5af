// The registry as the program sees it: QSettings (organisation "Kestrion",
// application "Twinbay") with key paths written as the registry paths
// "software\Kestrion\Twinbay\..." and mapped onto groups.
#pragma once

#include <QSettings>
#include <QString>
#include <memory>

namespace twinbay {

class CRegistryKey {
 public:
  // Opens (creating on first write) the key; the path may start with the
  // product key "software\Kestrion\Twinbay", which maps to the settings' root.
  bool Open(const QString& path);
  quint32 GetDword(const QString& name, quint32 defaultValue) const;
  void SetDword(const QString& name, quint32 value);
  QString GetString(const QString& name) const;
  void SetString(const QString& name, const QString& text);
  bool Exists(const QString& name) const;
  // Removes a sub-key with everything below it.
  bool DeleteTree(const QString& name);
  void Sync();

  static QString GroupFor(const QString& registryPath);

 private:
  QString group_;
  std::unique_ptr<QSettings> settings_;
};

extern const char kBaseKey[];  // "software\Kestrion\Twinbay"

}  // namespace twinbay
