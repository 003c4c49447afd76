// The run from start to end, step by step.
#include "installer/run_installer.h"

#include <string>

#include "installer/attempts.h"
#include "installer/command_line.h"
#include "installer/error_dialog.h"
#include "installer/file_system.h"
#include "installer/install_folder.h"
#include "installer/launch.h"
#include "installer/paths.h"
#include "installer/payload.h"
#include "installer/setup_lock.h"
#include "shell/win32.h"

namespace lbw {
namespace {

// Steps 1 to 8 of the run. Everything they hold, the turn among runs into the
// same folder included, is released when this returns, before any error is
// shown: an open dialog never keeps another run waiting.
Status install_and_launch() {
  // 1. Settle the install folder from the environment.
  Result<std::wstring> settled = settle_install_folder();
  if (!settled.ok()) return settled.error();
  const std::wstring& install_folder = settled.value();

  // 2. Create it, with every missing parent. Two runs may do this at once.
  if (Status created = create_install_folder(install_folder); !created.ok()) return created;

  // Runs into the same folder, however each spells it, take turns from here
  // on, before anything is written into it.
  const SetupLock turn(install_folder);

  // 3. The application's path.
  const std::wstring application_path = join_path(install_folder, kApplicationFileName);

  // 4. The command line settles the mode and what is handed on.
  const Invocation invocation = settle_invocation(arguments_of_command_line(GetCommandLineW()));

  // 5. Both files are decoded before anything is written.
  Result<ByteBuffer> loader = unpack_payload(loader_payload);
  if (!loader.ok()) return loader.error();
  Result<ByteBuffer> application = unpack_payload(app_payload);
  if (!application.ok()) return application.error();

  // 6. Write them: once, or in update mode until an older copy has let go.
  const AttemptSchedule schedule{
      .attempts = invocation.update_mode ? kUpdateModeAttempts : 1,
      .pause = pause_between_attempts,
  };
  Status written = write_in_attempts(install_folder, application_path, loader.value().bytes(),
                                     application.value().bytes(), schedule);

  // 7. In update mode the copy that is there is started when the new one could
  //    not be written.
  if (!written.ok() && !(invocation.update_mode && attributes_following_links(application_path))) {
    return written;
  }

  // 8. Start the application and let go of it.
  return launch_application(application_path, invocation.handed_on_arguments, install_folder);
}

}  // namespace

void run_installer() {
  // 9. The one error that ended the run, if any.
  Status outcome = install_and_launch();
  if (!outcome.ok()) show_error(outcome.error().text);
}

}  // namespace lbw
