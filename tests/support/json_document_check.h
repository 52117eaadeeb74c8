// The JSON reader's document as nlohmann::json, each number with its exact
// type, so that the reader can be held against nlohmann's parser, which
// read machine files before it.
#pragma once

#include <nlohmann/json.hpp>

#include "platform/sim/json_document.h"

namespace vq4::test {

inline nlohmann::json as_nlohmann(const sim::JsonDocument& doc, std::uint32_t index = 0) {
    const sim::JsonValue& v = doc.values[index];
    switch (v.kind) {
        case sim::JsonKind::Null: return nullptr;
        case sim::JsonKind::Boolean: return v.boolean;
        case sim::JsonKind::Unsigned: return v.unsigned_number();
        case sim::JsonKind::Signed: return v.signed_number();
        case sim::JsonKind::Float: return v.float_number();
        case sim::JsonKind::String: return std::string(doc.text(v));
        case sim::JsonKind::Array: {
            nlohmann::json array = nlohmann::json::array();
            for (std::uint32_t i = v.first; i < v.first + v.count; ++i)
                array.push_back(as_nlohmann(doc, doc.elements[i]));
            return array;
        }
        case sim::JsonKind::Object: {
            nlohmann::json object = nlohmann::json::object();
            for (std::uint32_t i = v.first; i < v.first + v.count; ++i) {
                object[std::string(doc.name(doc.members[i]))] = as_nlohmann(doc, doc.members[i].value);
            }
            return object;
        }
    }
    return nullptr;
}

// Equal values of equal types (nlohmann's == takes 1, 1u and 1.0 as one).
inline bool same_json(const nlohmann::json& a, const nlohmann::json& b) {
    if (a.type() != b.type()) return false;
    if (a.is_array()) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (!same_json(a[i], b[i])) return false;
        }
        return true;
    }
    if (a.is_object()) {
        if (a.size() != b.size()) return false;
        for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
            if (ia.key() != ib.key() || !same_json(ia.value(), ib.value())) return false;
        }
        return true;
    }
    if (a.is_number_float()) {
        // -0.0 and 0.0 are one number to ==, not to a reader of signs.
        return a.get<double>() == b.get<double>() && std::signbit(a.get<double>()) == std::signbit(b.get<double>());
    }
    return a == b;
}

}  // namespace vq4::test
