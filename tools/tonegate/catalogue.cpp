// The driver catalogue through the library's own registry walk.
// Thread: the command's one thread.
#include "tools/tonegate/catalogue.h"

#include <algorithm>
#include <cctype>

#include "host/driver_registrations.h"

namespace tonegate_tool {

namespace {

// The library keeps a driver's name in a field of this many bytes.
constexpr size_t kNameField = 128;
constexpr const char* kWavSinkName = "Tonegate WAV Sink";

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

}  // namespace

std::vector<CatalogueEntry> ReadCatalogue() {
    std::vector<CatalogueEntry> catalogue;
    ForEachRegistration(
        [](const Registration& registration, void* context) {
            auto& entries = *static_cast<std::vector<CatalogueEntry>*>(context);
            CatalogueEntry entry;
            entry.key = registration.keyName;
            entry.name = registration.hasDescription ? registration.description : registration.keyName;
            entry.name = entry.name.substr(0, kNameField - 1);
            entry.clsid = registration.clsidText;
            entry.path = registration.serverPath;
            if (registration.status == RegistrationStatus::Usable) {
                entry.number = static_cast<int>(
                    std::count_if(entries.begin(), entries.end(), [](const CatalogueEntry& e) { return e.number >= 0; }));
            } else {
                entry.reason = RegistrationStatusText(registration.status);
            }
            entries.push_back(entry);
        },
        &catalogue);
    return catalogue;
}

std::optional<CatalogueEntry> FindDriver(const std::vector<CatalogueEntry>& catalogue, const std::string& choice,
                                         std::string& why) {
    const bool numeric = !choice.empty() && std::all_of(choice.begin(), choice.end(), [](unsigned char c) {
        return std::isdigit(c) != 0;
    });
    for (const CatalogueEntry& entry : catalogue) {
        if (entry.number < 0) continue;
        if (numeric ? choice.size() <= 9 && entry.number == std::stoi(choice) : SameText(entry.name, choice))
            return entry;
    }
    why = "no driver " + (numeric ? choice : "named '" + choice + "'") + " is installed ('tonegate drivers' lists them)";
    return std::nullopt;
}

std::optional<CatalogueEntry> FindWavSink(const std::vector<CatalogueEntry>& catalogue) {
    std::string why;
    return FindDriver(catalogue, kWavSinkName, why);
}

}  // namespace tonegate_tool
