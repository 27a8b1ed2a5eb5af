// The program's stored preferences. On Linux the registry becomes QSettings
// (organisation "Kestrion", application "Twinbay"); key paths are written as
// the registry paths "software\Kestrion\Twinbay\..." and mapped onto groups.
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

class CSettings {
 public:
  quint32 m_bSuppressTagging = 0;
  quint32 m_bTransferAlert = 0;
  quint32 m_bSetLocalTimestamps = 0;
  quint32 m_bCompareAlert = 0;
  quint32 m_bCompareOnConnect = 0;
  quint32 m_bSuppressStripedList = 0;
  quint32 m_bIgnoreSeconds = 1;
  // Keep the system's title bar instead of the program's painted caption.
  quint32 m_bSystemCaption = 0;
  quint32 m_nColumnWidth[6] = {0, 0, 0, 0, 0, 0};
  quint32 m_nListWidth = 0;
  // How many connections a compare lists folders over at once (1 to 16).
  quint32 m_nConnections = 8;

  bool Initialise(const QString& baseKey);
  void Load();
  void Save() const;

 private:
  QString base_;
};

}  // namespace twinbay
