#include "app/data_lock.h"

namespace ZezozuRiziv {

bool lock_data_dir(const std::string& dir, platform::DirectoryLock& lock, std::ostream& out) {
  std::string error;
  const std::string lock_path = dir + "/" + platform::kLockFileName;
  switch (lock.acquire(dir, error)) {
    case platform::LockResult::kLocked:
      return true;
    case platform::LockResult::kBusy:
      out << "[DATI] La cartella dati " << dir << " e' gia' in uso da un altro processo rozeve (blocco su "
          << lock_path << "): comando interrotto, nessun file e' stato modificato."
          << std::endl;
      return false;
    case platform::LockResult::kFailed:
      break;
  }
  out << "[DATI] Impossibile bloccare la cartella dati " << dir << " (" << lock_path << ": "
      << error << "): comando interrotto, nessun file e' stato modificato." << std::endl;
  return false;
}

}  // namespace ZezozuRiziv
