// The FTP client over libcurl: one easy handle per connection, which keeps the
// control connection open between operations.
#pragma once

#include "net/ftp_client.h"

namespace twinbay {

// libcurl's global set-up, once per process (thread-safe).
void InitCurlOnce();

std::unique_ptr<IFtpConnection> MakeCurlFtpConnection(const FtpLogin& login,
                                                       const FtpTimeouts& timeouts = FtpTimeouts());

// Percent-encodes an absolute remote path for a libcurl URL, one component at a
// time; the leading "/" becomes "%2F" so that libcurl treats it as absolute.
// A trailing "/" is kept (it marks a folder URL).
std::string EncodeFtpUrlPath(const std::string& absolutePath);

}  // namespace twinbay
