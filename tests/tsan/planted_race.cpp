// A race planted between a worker thread and an event-loop slot; the suppressions must never hide it.
#include <QApplication>
#include <QTimer>
#include <chrono>
#include <thread>

namespace {

int counter = 0;

__attribute__((noinline)) void PlantedRaceFromWorker() { ++counter; }
__attribute__((noinline)) void PlantedRaceFromSlot() { counter += 2; }

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  std::thread worker([] {
    for (int i = 0; i < 20; ++i) {
      PlantedRaceFromWorker();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  QTimer::singleShot(20, &app, [&] {
    PlantedRaceFromSlot();
    QTimer::singleShot(100, &app, [&] { app.quit(); });
  });
  const int rc = app.exec();
  worker.join();
  return rc + (counter > 0 ? 0 : 1);
}
