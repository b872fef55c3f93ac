#include "common/ui/FormPlacement.h"

#include <QWidget>

#include <charconv>
#include <optional>

#include "common/registry/KmRegistry.h"

namespace km {
namespace {

std::optional<int> ReadInt(const std::string& key, const char* name) {
    const std::string text = ReadRegString(name, {}, key, true);
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::string FormPlacementKey(const QWidget& window) {
    std::string name = window.objectName().toStdString();
    if (name.empty()) {
        name = window.metaObject()->className();
    }
    return GetRegistryRoot() + "\\AppStorage\\" + name;
}

bool SaveFormPlacement(const QWidget& window) {
    const std::string key = FormPlacementKey(window);
    const QRect r = window.normalGeometry().isValid() ? window.normalGeometry() : window.geometry();
    bool ok = true;
    for (const auto& [name, value] : {std::pair<const char*, int>{"Left", r.left()},
                                      {"Top", r.top()},
                                      {"Width", r.width()},
                                      {"Height", r.height()},
                                      {"Maximized", window.isMaximized() ? 1 : 0}}) {
        ok = WriteRegString(name, std::to_string(value), key, true) && ok;
    }
    return ok;
}

bool LoadFormPlacement(QWidget& window) {
    const std::string key = FormPlacementKey(window);
    const auto left = ReadInt(key, "Left");
    const auto top = ReadInt(key, "Top");
    const auto width = ReadInt(key, "Width");
    const auto height = ReadInt(key, "Height");
    if (!left || !top || !width || !height || *width <= 0 || *height <= 0) {
        return false;
    }
    window.setGeometry(*left, *top, *width, *height);
    if (ReadInt(key, "Maximized").value_or(0) != 0) {
        window.setWindowState(window.windowState() | Qt::WindowMaximized);
    }
    return true;
}

}  // namespace km
