// The program's stored preferences, kept under the registry key (see
// widgets/registry_key.h).
#pragma once

#include <QString>

#include "widgets/registry_key.h"

namespace twinbay {


// The highest bandwidth limit the Options take, in KiB a second (4 GiB/s).
constexpr quint32 kMaxBandwidthLimit = 4u << 20;

class CSettings {
 public:
  quint32 m_bSuppressTagging = 0;
  quint32 m_bTransferAlert = 0;
  quint32 m_bSetLocalTimestamps = 0;
  quint32 m_bCompareAlert = 0;
  quint32 m_bCompareOnConnect = 0;
  quint32 m_bSuppressStripedList = 0;
  quint32 m_bIgnoreSeconds = 1;
  // Files of equal size compared by a hash of their contents (where the
  // server gives one); every copy checked by hash once stored.
  quint32 m_bChecksum = 0;
  quint32 m_bVerify = 0;
  // Keep the system's title bar instead of the program's painted caption.
  quint32 m_bSystemCaption = 0;
  quint32 m_nColumnWidth[6] = {0, 0, 0, 0, 0, 0};
  quint32 m_nListWidth = 0;
  // How many connections a compare lists folders over at once (1 to 16).
  quint32 m_nConnections = 8;
  // The most a sync's copies send and receive together, in KiB a second
  // (0: no limit).
  quint32 m_nBandwidthLimit = 0;
  // The Options sheet's copy of the memory option of `m_connection` (the
  // current connection's name; empty: none, the option cannot be set).
  quint32 m_bRememberSync = 1;
  QString m_connection;

  bool Initialise(const QString& baseKey);
  void Load();
  void Save() const;
  // Whether compares over a connection (by its name) use the last
  // synchronised state: kept for each connection, on unless turned off.
  bool RemembersSync(const QString& connection) const;
  void SetRemembersSync(const QString& connection, bool on) const;

 private:
  QString base_;
};

}  // namespace twinbay
