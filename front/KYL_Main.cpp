// The kyl console program.
#include <clocale>
#include <iostream>
#include <string>
#include <vector>

#include "front/KYL_Batch.h"

int main(int argc, char** argv) {
    // Numbers use the separators of the user's locale; without one (or when it
    // cannot be loaded) the C locale stays in force.
    std::setlocale(LC_ALL, "");
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    return KYL_Run(arguments, std::cout);
}
