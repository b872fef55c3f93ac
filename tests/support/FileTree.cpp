#include "support/FileTree.h"

#include "support/Sandbox.h"

namespace kmtest {

namespace fs = std::filesystem;

void MakeTree(const fs::path& root, const Tree& tree) {
    fs::create_directories(root);
    for (const auto& [path, content] : tree) {
        if (content == "/") {
            fs::create_directories(root / path);
        } else {
            WriteTextFile(root / path, content);
        }
    }
}

Tree ReadTree(const fs::path& root) {
    Tree tree;
    std::error_code ec;
    if (!fs::exists(root, ec)) {
        return tree;
    }
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string relative = fs::relative(it->path(), root).string();
        if (it->is_symlink()) {
            tree[relative] = "->" + fs::read_symlink(it->path()).string();
        } else {
            tree[relative] = it->is_directory() ? "/" : ReadTextFile(it->path());
        }
    }
    return tree;
}

}  // namespace kmtest
