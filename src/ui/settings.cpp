#include "ui/settings.h"

#include <QSettings>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <string>

#include "core/connections.h"

namespace twinbay {

bool CSettings::Initialise(const QString& baseKey) {
  base_ = baseKey;
  std::string problem;
  if (UserConfigFolder(&problem).empty()) {
    // Without a folder of the user's, Qt would keep the settings below "/";
    // a path that can never be a folder makes every read find nothing and
    // every write fail, so the defaults hold and nothing is written.
    static const bool once = [&] {
      QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, "/dev/null/twinbay");
      std::fprintf(stderr, "twinbay: %s. Settings are not read or saved.\n", problem.c_str());
      return true;
    }();
    (void)once;
    return false;
  }
  return !base_.isEmpty();
}

void CSettings::Load() {
  CRegistryKey k;
  k.Open(base_ + "\\Options");
  m_nListWidth = k.GetDword("List Width", 0);
  k.Open(base_ + "\\List\\Columns");
  for (int i = 0; i < 6; ++i) m_nColumnWidth[i] = k.GetDword(QString("Column %1").arg(i), 0);
  k.Open(base_ + "\\Settings");
  m_bSuppressTagging = k.GetDword("Suppress Tagging", 0);
  m_bTransferAlert = k.GetDword("Transfer Alert", 0);
  m_bSetLocalTimestamps = k.GetDword("Set local Timestamps", 0);
  m_bCompareAlert = k.GetDword("Compare Alert", 0);
  m_nConnections = std::clamp<quint32>(k.GetDword("Connections", 8), 1, 16);
  m_nBandwidthLimit = std::min<quint32>(k.GetDword("Bandwidth Limit", 0), kMaxBandwidthLimit);
  m_bCompareOnConnect = k.GetDword("Compare on Connect", 0);
  m_bSuppressStripedList = k.GetDword("Suppress striped list", 0);
  m_bIgnoreSeconds = k.GetDword("Ignore seconds", 1);
  m_bChecksum = k.GetDword("Compare Contents", 0);
  m_bVerify = k.GetDword("Verify Copies", 0);
  m_bSystemCaption = k.GetDword("System Caption", 0);
}

void CSettings::Save() const {
  CRegistryKey k;
  k.Open(base_ + "\\Options");
  k.SetDword("List Width", m_nListWidth);
  k.Open(base_ + "\\List\\Columns");
  for (int i = 0; i < 6; ++i) k.SetDword(QString("Column %1").arg(i), m_nColumnWidth[i]);
  k.Open(base_ + "\\Settings");
  k.SetDword("Suppress Tagging", m_bSuppressTagging);
  k.SetDword("Transfer Alert", m_bTransferAlert);
  k.SetDword("Set local Timestamps", m_bSetLocalTimestamps);
  k.SetDword("Compare Alert", m_bCompareAlert);
  k.SetDword("Connections", m_nConnections);
  k.SetDword("Bandwidth Limit", m_nBandwidthLimit);
  k.SetDword("Compare on Connect", m_bCompareOnConnect);
  k.SetDword("Suppress striped list", m_bSuppressStripedList);
  k.SetDword("Ignore seconds", m_bIgnoreSeconds);
  k.SetDword("Compare Contents", m_bChecksum);
  k.SetDword("Verify Copies", m_bVerify);
  k.SetDword("System Caption", m_bSystemCaption);
  k.Sync();
}

namespace {
// The key of a connection's memory option: its name encoded so that no
// character of it makes a sub-key.
QString RememberKey(const QString& connection) {
  return QString::fromLatin1(QUrl::toPercentEncoding(connection, " "));
}
}  // namespace

bool CSettings::RemembersSync(const QString& connection) const {
  CRegistryKey k;
  k.Open(base_ + "\\Settings\\Remember Last Sync");
  return k.GetDword(RememberKey(connection), 1) != 0;
}

void CSettings::SetRemembersSync(const QString& connection, bool on) const {
  CRegistryKey k;
  k.Open(base_ + "\\Settings\\Remember Last Sync");
  k.SetDword(RememberKey(connection), on ? 1 : 0);
  k.Sync();
}

}  // namespace twinbay
