#pragma once

namespace quellnet {

// Runs the program: creates the application with its look, hands over to an instance that is
// already running for this user (and then returns 0 at once), or launches the application
// delegate and runs the event loop until the user quits. Returns the program's exit status.
int applicationMain(int &argc, char **argv);

} // namespace quellnet
