#include <exception>
#include <iostream>

#include "QbRegCommand.h"

int main(int argc, char** argv) {
    try {
        return qbreg::Run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
    } catch (const std::exception& e) {
        std::cerr << "ERROR: " << e.what() << "\n";
        return 1;
    }
}
