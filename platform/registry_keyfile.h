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

// What an update does with a file that cannot be parsed: refuse it
// (ERROR_REGISTRY_CORRUPT, the file left as it is), or keep it as
// "<file>.damaged" (replacing an older one) and apply the change to an
// empty key.
enum class DamagedKeyFile { Refuse, KeepBesideAndStartEmpty };

// Read, change and atomically rewrite the file under the key's lock: one
// replacement of the file, whatever `change` does. The file is left alone if
// it cannot be read or `change` returns an error. `setAsidePath`, if given,
// names the damaged file's new place, or stays empty.
RegStatus UpdateKeyFile(const RegKeyLocation& key, const std::function<RegStatus(RegValueMap&)>& change,
                        DamagedKeyFile damaged = DamagedKeyFile::Refuse, std::string* setAsidePath = nullptr);

// Removes what writers that died mid-write left of the key. Gives up at once
// (ERROR_SHARING_VIOLATION) while a live writer holds the key's lock.
RegStatus TidyKeyFile(const RegKeyLocation& key);

}  // namespace platform
