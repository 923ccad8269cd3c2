#pragma once

#include <string>

// Where the wizard keeps its data (recordings among them). The dialog provides it; the engine's
// echo figures find the standard echo recording through it.
class IDataFolder {
public:
    virtual ~IDataFolder() = default;

    // The data folder, normally ending with '/'.
    virtual std::string dataDirectory() const = 0;
};
