#pragma once
// Rights of a service's account on the folders it uses (Windows access
// control lists). On POSIX the account is the unit's User= and the rights
// are the files' modes: nothing is granted there.

#include <string>

#include "platform/ServiceManager.h"

namespace platform {

// Creates the folder `path` unless it exists; its parent must exist. False
// with the failure in `failure`.
bool MakeFolder(const std::string& path, SystemFailure& failure);

enum class FolderRights { kRead, kModify };

// Adds an entry to the folder's access list giving `account` `rights` on it
// and, inherited, on everything below it. A virtual service account
// ("NT SERVICE\<service>") is found by its name alone, whether or not the
// service exists yet. False with the failure in `failure`.
bool GrantFolderAccess(const std::string& account, const std::string& path, FolderRights rights,
                       SystemFailure& failure);

}  // namespace platform
