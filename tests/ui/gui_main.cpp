// GoogleTest with a QApplication for widget tests.
#include <gtest/gtest.h>

#include <QApplication>

#include "net/curl_ftp.h"

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
  QApplication app(argc, argv);
  QApplication::setOrganizationName("Kestrion");
  QApplication::setApplicationName("Twinbay");
  twinbay::InitCurlOnce();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
