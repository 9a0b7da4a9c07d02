// Access to fields that several threads read and write without a lock (the Plug and Play flags,
// pointers published by one path and read by another). The field keeps its size and type; each
// access is a single atomic load or store, so there is no torn value and no data race. Ordering
// between fields is not implied: the routines that depend on an order say how they get it.
#pragma once

template <typename T> inline T ReadShared(const T& Field) {
    return __atomic_load_n(&Field, __ATOMIC_ACQUIRE);
}

template <typename T, typename U> inline void WriteShared(T& Field, U Value) {
    __atomic_store_n(&Field, static_cast<T>(Value), __ATOMIC_RELEASE);
}

// Stores Value and returns what the field held, in one atomic step (a test-and-set of a flag, or
// the taking of a published pointer).
template <typename T, typename U> inline T ExchangeShared(T& Field, U Value) {
    return __atomic_exchange_n(&Field, static_cast<T>(Value), __ATOMIC_ACQ_REL);
}
