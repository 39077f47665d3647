// The stored field types: the one list every per-type table, registration
// and dispatch is made from. Each entry is the value type and the TType
// enumerator that stands for it, in TType order (the first is 1). A new
// type is one entry here and one field_traits specialisation
// (field_traits.h); the rest follows from them.
//
// This header needs nothing from the field model, so __field.h can build
// TType's values from the list; the dispatch below is resolved where it is
// used, once field_traits.h has been included.
#pragma once

#include <string>
#include <utility>

class fixed_point;

#define ORVEX_FIELD_TYPES(X)                                                                                 \
    X(int, tpInt) X(unsigned int, tpUInt) X(long, tpLong) X(unsigned long, tpULong) X(std::string, tpStr) \
        X(fixed_point, tpFixed)

namespace Orvex {

template <class T>
struct field_traits;

// Raises the logic error "Field type <value> is none of the stored types":
// a type value outside the list reached a dispatch that has no answer for it.
[[noreturn]] void raise_unknown_type(unsigned value);

namespace field_types_detail {

template <class... T>
struct type_list {};
#define ORVEX_FIELD_TYPE_ENTRY(T, enumerator) T,
typedef type_list<ORVEX_FIELD_TYPES(ORVEX_FIELD_TYPE_ENTRY) void> stored_types;
#undef ORVEX_FIELD_TYPE_ENTRY

template <class Visit, class OnNone>
decltype(auto) visitFrom(unsigned, unsigned, type_list<void>, Visit&, OnNone& onNone) {
    return onNone();
}

template <class T, class... Rest, class Visit, class OnNone>
decltype(auto) visitFrom(unsigned value, unsigned at, type_list<T, Rest...>, Visit& visit, OnNone& onNone) {
    if (value == at) return visit(field_traits<T>());
    return visitFrom(value, at + 1, type_list<Rest...>(), visit, onNone);
}

}  // namespace field_types_detail

// Calls visit(field_traits<T>()) for the type whose TType value is `type`,
// or onNone() for any other value (tpNone included). Every call must give
// the same type; onNone may raise instead.
template <class Type, class Visit, class OnNone>
decltype(auto) visitType(Type type, Visit&& visit, OnNone&& onNone) {
    return field_types_detail::visitFrom(static_cast<unsigned>(type), 1, field_types_detail::stored_types(), visit,
                                         onNone);
}

// As above; a value outside the list raises raise_unknown_type's error.
template <class Type, class Visit>
decltype(auto) visitType(Type type, Visit&& visit) {
    typedef decltype(visit(field_traits<int>())) Result;
    return visitType(type, visit, [type]() -> Result { raise_unknown_type(static_cast<unsigned>(type)); });
}

// Calls visit(traits, descriptor) with the field's traits and the field seen
// as its own descriptor (field_traits<T>::descriptor); a field whose type
// value is outside the list raises as visitType does.
template <class Field, class Visit>
decltype(auto) visitField(const Field& field, Visit&& visit) {
    return visitType(field.typeValue(), [&field, &visit](auto traits) -> decltype(auto) {
        return visit(traits, static_cast<const typename decltype(traits)::descriptor&>(field));
    });
}

}  // namespace Orvex
