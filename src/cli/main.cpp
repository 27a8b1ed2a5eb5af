// twinbay-cli: compare, synchronise and manage stored connections without a
// window, for scripts, scheduled jobs and tests.

#include "cli/cli.h"

using namespace twinbay::cli;

int main(int argc, char** argv) {
  const Options o = Parse(argc, argv);
  if (o.command == "connections") return ConnectionsCommand(o);
  if (o.command == "state") return StateCommand(o);
  return CompareOrSync(o);
}
