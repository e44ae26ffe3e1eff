// The driver catalogue as the library numbers it: the same registry walk the
// library runs when it opens a driver, with the registrations it passes over.
// Thread: the command's one thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tonegate_tool {

struct CatalogueEntry {
    int number = -1;  // -1: passed over by the library
    std::string key;
    std::string name;  // as the library names the driver (its description, else its key)
    std::string clsid;
    std::string path;
    std::string reason;  // why it was passed over; empty for a numbered driver
};

std::vector<CatalogueEntry> ReadCatalogue();

// The numbered driver that `choice` names: its number, or its name in any case.
// Empty when there is none, with the reason in `why`.
std::optional<CatalogueEntry> FindDriver(const std::vector<CatalogueEntry>& catalogue, const std::string& choice,
                                         std::string& why);

// The WAV sink's entry, when it is installed.
std::optional<CatalogueEntry> FindWavSink(const std::vector<CatalogueEntry>& catalogue);

}  // namespace tonegate_tool
