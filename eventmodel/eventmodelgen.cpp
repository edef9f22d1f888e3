// Writes the lists of the event kinds that scripts read.

#include "eventmodel.h"

#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

namespace {

std::string tables()
{
    std::string list;
    for (EventKindId id : tableCreationOrder())
        list += std::string(eventKind(id).table) + "\n";
    return list;
}

std::string types()
{
    std::string list;
    for (EventKindId id : senderTypeOrder())
        list += std::string(eventKind(id).type) + "\n";
    return list;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: eventmodelgen tables|types FILE\n";
        return 2;
    }
    std::string text;
    if (std::strcmp(argv[1], "tables") == 0) {
        text = tables();
    } else if (std::strcmp(argv[1], "types") == 0) {
        text = types();
    } else {
        std::cerr << "eventmodelgen: unknown output " << argv[1] << "\n";
        return 2;
    }
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        std::cerr << "eventmodelgen: cannot write " << argv[2] << "\n";
        return 1;
    }
    return 0;
}
