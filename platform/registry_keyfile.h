// The file of one ordinary key: its values in REGEDIT4 form.
#pragma once

#include "platform/registry_format.h"
#include "platform/registry_paths.h"

#include <functional>

namespace platform {

// ERROR_SUCCESS if the key's file exists, ERROR_FILE_NOT_FOUND if not.
RegStatus KeyFileExists(const RegKeyLocation& key);

// Creates the key's folders and an empty key file unless the file exists.
RegStatus CreateKeyFile(const RegKeyLocation& key, bool& created);

// ERROR_KEY_DELETED if the file has gone, ERROR_REGISTRY_CORRUPT if it cannot be parsed.
RegStatus ReadKeyFile(const RegKeyLocation& key, RegValueMap& values);

// Read, change and atomically rewrite the file under the key's lock. The file
// is left alone if it cannot be read or `change` returns an error.
RegStatus UpdateKeyFile(const RegKeyLocation& key, const std::function<RegStatus(RegValueMap&)>& change);

// Under the key's lock: a file that cannot be parsed is renamed to
// "<file>.damaged" (replacing an older one) and an empty key file takes its
// place. `setAsidePath` names the damaged file's new place; it stays empty
// when the file was sound or absent.
RegStatus SetAsideDamagedKeyFile(const RegKeyLocation& key, std::string& setAsidePath);

}  // namespace platform
