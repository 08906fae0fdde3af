#pragma once

#include <cstring>

#define VEXA_EXPORT __attribute__((visibility("default")))

// The library's state lives in the caller's opaque storage; copies keep clear of aliasing rules.
template <typename State, typename Storage> State load_state(const Storage *storage) {
    // NOLINTNEXTLINE(misc-redundant-expression): sizes of two template types
    static_assert(sizeof(State) <= sizeof(Storage) && alignof(State) <= alignof(Storage));
    State state{};
    std::memcpy(&state, storage, sizeof state);
    return state;
}

template <typename State, typename Storage> void store_state(Storage *storage, const State &state) {
    // NOLINTNEXTLINE(misc-redundant-expression): sizes of two template types
    static_assert(sizeof(State) <= sizeof(Storage) && alignof(State) <= alignof(Storage));
    std::memcpy(storage, &state, sizeof state);
}
