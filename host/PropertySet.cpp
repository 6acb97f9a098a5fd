#include "host/PropertySet.h"

#include <cstring>
#include <map>
#include <mutex>
#include <variant>

namespace AnalogSystem {

namespace {
using Value = std::variant<std::monostate, std::string, int, double, bool>;

struct Property {
    Value value;
    PropertyFlags flags;
    bool flagsSet = false;
};
} // namespace

struct cPropertySet::Impl {
    mutable std::mutex mutex;
    std::map<std::string, Property> properties;

    template <typename T> void store(const char* name, T value) {
        std::lock_guard<std::mutex> lock(mutex);
        properties[name ? name : ""].value = std::move(value);
    }
    template <typename T> bool load(const char* name, T& out) const {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = properties.find(name ? name : "");
        if (it == properties.end()) {
            return false;
        }
        if (const T* v = std::get_if<T>(&it->second.value)) {
            out = *v;
            return true;
        }
        return false;
    }
};

cPropertySet::cPropertySet() : impl_(std::make_unique<Impl>()) {}
cPropertySet::~cPropertySet() = default;

void cPropertySet::SetProperty(const char* name, const char* value) {
    impl_->store(name, std::string(value ? value : ""));
    PropertyStored(name);
}
void cPropertySet::SetProperty(const char* name, int value) {
    impl_->store(name, value);
    PropertyStored(name);
}
void cPropertySet::SetProperty(const char* name, double value) {
    impl_->store(name, value);
    PropertyStored(name);
}
void cPropertySet::SetProperty(const char* name, bool value) {
    impl_->store(name, value);
    PropertyStored(name);
}

bool cPropertySet::GetProperty(const char* name, int& value) const {
    return impl_->load(name, value);
}
bool cPropertySet::GetProperty(const char* name, double& value) const {
    return impl_->load(name, value);
}
bool cPropertySet::GetProperty(const char* name, bool& value) const {
    return impl_->load(name, value);
}

bool cPropertySet::GetProperty(const char* name, char* buffer, int size) const {
    std::string text;
    if (!impl_->load(name, text)) {
        return false;
    }
    if (buffer && size > 0) {
        const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
    }
    return true;
}

void cPropertySet::ModifyProperty(const char* name, bool visible, bool readOnly, bool advanced, bool saved) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Property& p = impl_->properties[name ? name : ""];
    p.flags = PropertyFlags{visible, readOnly, advanced, saved};
    p.flagsSet = true;
}

cPropertySet::Kind cPropertySet::PropertyKind(const char* name) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto it = impl_->properties.find(name ? name : "");
    if (it == impl_->properties.end()) {
        return Kind::None;
    }
    switch (it->second.value.index()) {
    case 1:
        return Kind::Text;
    case 2:
        return Kind::Int;
    case 3:
        return Kind::Double;
    case 4:
        return Kind::Bool;
    default:
        return Kind::None;
    }
}

std::string cPropertySet::PropertyText(const char* name) const {
    std::string text;
    impl_->load(name, text);
    return text;
}

bool cPropertySet::PropertyFlagsOf(const char* name, PropertyFlags& flags) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto it = impl_->properties.find(name ? name : "");
    if (it == impl_->properties.end() || !it->second.flagsSet) {
        return false;
    }
    flags = it->second.flags;
    return true;
}

std::vector<std::string> cPropertySet::PropertyNames() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<std::string> names;
    for (const auto& entry : impl_->properties) {
        names.push_back(entry.first);
    }
    return names;
}

void cPropertySet::PropertyStored(const char*) {}

} // namespace AnalogSystem
