#pragma once

#include "host/AnalogSystemApi.h"

#include <memory>
#include <string>
#include <vector>

namespace AnalogSystem {

// Presentation flags of one property, as given to ModifyProperty.
struct PropertyFlags {
    bool visible = false;
    bool readOnly = false;
    bool advanced = false;
    bool saved = false;
};

// A named set of typed properties (text, int, double, bool). Safe to use from several threads.
class ANALOGSYSTEM_API cPropertySet {
public:
    enum class Kind { None, Text, Int, Double, Bool };

    cPropertySet();
    virtual ~cPropertySet();
    cPropertySet(const cPropertySet&) = delete;
    cPropertySet& operator=(const cPropertySet&) = delete;

    // Stores the value, creating the property when it is absent; a property may change its type.
    void SetProperty(const char* name, const char* value);
    void SetProperty(const char* name, int value);
    void SetProperty(const char* name, double value);
    void SetProperty(const char* name, bool value);

    // False when the property is absent or holds another type.
    bool GetProperty(const char* name, int& value) const;
    bool GetProperty(const char* name, double& value) const;
    bool GetProperty(const char* name, bool& value) const;
    // Copies the text with its NUL into buffer (cut to size); false when absent or not text.
    bool GetProperty(const char* name, char* buffer, int size) const;

    void ModifyProperty(const char* name, bool visible, bool readOnly, bool advanced, bool saved);

    // Model helpers for the host side (not called by plug-ins).
    Kind PropertyKind(const char* name) const;
    std::string PropertyText(const char* name) const;
    bool PropertyFlagsOf(const char* name, PropertyFlags& flags) const;
    std::vector<std::string> PropertyNames() const;

protected:
    // Called after every SetProperty, outside the set's lock.
    virtual void PropertyStored(const char* name);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace AnalogSystem
