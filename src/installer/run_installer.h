// The whole run: settle and create the install folder, read the command line,
// unpack both files, write them, start the application, or show the one error
// that ended the run.
#pragma once

namespace lbw {

// Runs once on the main thread and returns normally after success and after
// the error dialog has been closed alike. Everything it holds is released
// before it returns.
void run_installer();

}  // namespace lbw
