#pragma once

// The product this updater serves: the constants that start-up, the window,
// the tools, the tests, the benchmarks and the drills share.

namespace qb {

// The settings root: the registry key below which the product's installer
// records its folders and the updater its package dates.
inline constexpr const char* kProductRegistryKey = "Software\\kelmirath\\Tolvan";

// The project the program updates (in installer mode).
inline constexpr const char* kInstallerProject = "240611TolvanUpdK718";

// The project that an empty project name stands for.
inline constexpr const char* kDefaultProjectName = "tolvanconfig";

// The id under which the update worker runs in the thread manager.
inline constexpr const char* kUpdaterThreadId = "QBConfigUpdaterThread";

}  // namespace qb
