#include "app/HandOff.h"

#include "app/batch/FolderEntries.h"
#include "platform/Paths.h"

namespace app {

std::vector<std::string> AbsoluteNames(const std::vector<std::string>& names, bool decodeFolders) {
    std::vector<std::string> out;
    out.reserve(names.size());
    for (const std::string& n : names) {
        std::string name = platform::absolutePath(n);
        out.push_back(platform::directoryExists(name) ? FolderEntryText(name, decodeFolders)
                                                      : std::move(name));
    }
    return out;
}

Claim ClaimNames(platform::InstanceLock& lock, const std::vector<std::string>& names,
                 bool decodeFolders) {
    Claim claim;
    const std::string dir = platform::runtimeDir(&claim.error);
    if (dir.empty()) {
        return claim;
    }
    switch (lock.tryAcquire(dir, &claim.error)) {
    case platform::LockResult::Acquired:
        claim.outcome = Claim::Converter;
        return claim;
    case platform::LockResult::Failed:
        return claim;
    case platform::LockResult::Held:
        break;
    }
    platform::FileIdentity identity;
    std::string error;
    const std::string published =
        platform::writeHandOffFile(dir, AbsoluteNames(names, decodeFolders), &error, &identity);
    if (published.empty()) {
        claim.error = "cannot hand the file names over: " + error;
        return claim;
    }
    switch (lock.reacquire(&error)) {
    case platform::LockResult::Acquired:
        claim.outcome = Claim::Converter;
        claim.namesHandedOver = true;
        return claim;
    case platform::LockResult::Held:
        claim.outcome = Claim::HandedOver;
        return claim;
    case platform::LockResult::Failed:
        break;
    }
    // Nobody may ever read the file: take it back, but only this writer's own file
    // (a converter may have taken it and another writer published the same number
    // since). When it cannot be taken back (a converter has read it already, or it
    // stays for the next one), the hand-off stands.
    if (!platform::withdrawHandOffFile(published, identity)) {
        claim.outcome = Claim::HandedOver;
        return claim;
    }
    claim.error = error;
    return claim;
}

} // namespace app
