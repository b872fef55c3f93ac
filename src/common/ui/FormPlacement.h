#pragma once

// A window's position and size in the registry store (per-user hive), below
// the settings root + "\AppStorage", in a subkey named after the window (its
// object name, else its class name). Values: "Left", "Top", "Width",
// "Height" (of the normal, not maximised, window) and "Maximized" ("0"/"1").
//
// Main thread only. Nothing here raises.

#include <string>

class QWidget;

namespace km {

// The full key of the window's values.
std::string FormPlacementKey(const QWidget& window);

// False when a value could not be written.
bool SaveFormPlacement(const QWidget& window);

// Applies a stored position; false (and the window unchanged) when none is
// stored or a stored value is not a number.
bool LoadFormPlacement(QWidget& window);

}  // namespace km
