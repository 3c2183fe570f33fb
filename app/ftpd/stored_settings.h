// lumbra-ftpd's use of the stored settings: serving them with the command
// line's overrides, and the save form that changes them without a desktop.
#pragma once

#include "app/ftpd/options.h"
#include "server/server_settings.h"

// Runs the load sequence and applies the options on top. False when the load
// failed (its message has been written) or the password file is unreadable.
bool LoadServerSettings(const FtpdOptions& options, ServerSettings& out);

// Runs the load sequence, applies the options and runs the save sequence
// with its messages. Returns the process exit code.
int SaveSettingsFromOptions(const FtpdOptions& options);
