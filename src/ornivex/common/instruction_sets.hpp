// One way to build a kernel for each instruction set, and one choice among
// them, made when a module is imported (use_instruction_set at import reads
// the CPU features once) instead of on every call.
//
// A kernel is a struct whose `template <InstructionSet S> static run(...)`
// does the work for S, typically with vectors of S's register width
// (RegisterLanes).  run_kernel<K>(args...) runs the build for the chosen
// set; run_built_for<K, S> runs one build, so tests can compare every set
// this processor has.  A kernel may declare `static constexpr InstructionSet
// widest` when wider sets gain it nothing; it is then not built for them.
// Every build runs the same IEEE operations in the same order, so all give
// the same bits.
//
// The helpers a kernel calls are compiled without the set's flags before they
// are inlined, and there GCC breaks a select of eight doubles on an OR or AND
// of comparisons (`(a != a) | (b > a) ? b : a`) into one scalar per lane;
// selects on single comparisons stay whole vectors.  Compare the builds with
// a bench before taking a wider set: several kernels gain nothing from it.
#pragma once

#include <algorithm>
#include <utility>

#include "ornivex/common/lanes.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#define ORNIVEX_X86_BUILDS 1
#endif

namespace ornivex {

// Ordered: each set includes the ones before it.
enum class InstructionSet { baseline, avx2, avx512 };

inline constexpr InstructionSet all_instruction_sets[] = {InstructionSet::baseline, InstructionSet::avx2,
                                                          InstructionSet::avx512};

// The widest set this processor runs.
inline InstructionSet detect_instruction_set() noexcept {
#ifdef ORNIVEX_X86_BUILDS
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
        return InstructionSet::avx512;
    if (__builtin_cpu_supports("avx2")) return InstructionSet::avx2;
#endif
    return InstructionSet::baseline;
}

namespace instruction_set_detail {
inline InstructionSet chosen = InstructionSet::baseline;  // each module has its own copy
}

// Sets the instruction set run_kernel uses from now on: at import, the one
// detected; a test may pick a narrower one.
inline void use_instruction_set(InstructionSet set) noexcept { instruction_set_detail::chosen = set; }
inline InstructionSet chosen_instruction_set() noexcept { return instruction_set_detail::chosen; }

// Bytes in one vector register of the set; RegisterLanes fills one.
constexpr int register_bytes(InstructionSet set) noexcept {
    return set == InstructionSet::avx512 ? 64 : set == InstructionSet::avx2 ? 32 : 16;
}
template <class T, InstructionSet S>
using RegisterLanes = Lanes<T, register_bytes(S) / static_cast<int>(sizeof(T))>;

template <class K>
constexpr InstructionSet widest_set() noexcept {
    if constexpr (requires { K::widest; })
        return K::widest;
    else
        return InstructionSet::avx512;
}

// K::run<S>, compiled with S's instructions and with everything it calls
// inlined (flatten), so that S's instructions reach every loop.
template <InstructionSet S>
struct BuiltFor {
    template <class K, class... Args>
    [[gnu::flatten]] static decltype(auto) run(Args&&... args) {
        return K::template run<S>(std::forward<Args>(args)...);
    }
};

#ifdef ORNIVEX_X86_BUILDS
template <>
struct BuiltFor<InstructionSet::avx2> {
    template <class K, class... Args>
    [[gnu::target("avx2"), gnu::flatten]] static decltype(auto) run(Args&&... args) {
        return K::template run<InstructionSet::avx2>(std::forward<Args>(args)...);
    }
};

template <>
struct BuiltFor<InstructionSet::avx512> {
    template <class K, class... Args>
    [[gnu::target("avx512f,avx512dq,avx512vl"), gnu::flatten]] static decltype(auto) run(Args&&... args) {
        return K::template run<InstructionSet::avx512>(std::forward<Args>(args)...);
    }
};
#endif

// The build of K for S; S must be one this processor runs.
template <class K, InstructionSet S, class... Args>
decltype(auto) run_built_for(Args&&... args) {
    return BuiltFor<S>::template run<K>(std::forward<Args>(args)...);
}

// K built for the chosen set, or for K's widest if that is narrower.
template <class K, class... Args>
decltype(auto) run_kernel(Args&&... args) {
#ifdef ORNIVEX_X86_BUILDS
    constexpr InstructionSet widest = widest_set<K>();
    const InstructionSet set = std::min(chosen_instruction_set(), widest);
    if constexpr (widest >= InstructionSet::avx512)
        if (set == InstructionSet::avx512)
            return run_built_for<K, InstructionSet::avx512>(std::forward<Args>(args)...);
    if constexpr (widest >= InstructionSet::avx2)
        if (set == InstructionSet::avx2) return run_built_for<K, InstructionSet::avx2>(std::forward<Args>(args)...);
#endif
    return run_built_for<K, InstructionSet::baseline>(std::forward<Args>(args)...);
}

}  // namespace ornivex
