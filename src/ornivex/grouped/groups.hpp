// The rows of a long table, group by group (a group is one symbol's rows),
// and the threads that compute the groups.
//
// group_rows is a counting sort by group number: two passes over the rows
// (each over stretches of rows on the threads), the rows of a group in their
// input order.  A panel (every group once per bar, in the same order each
// bar, as a complete table in time order lists them) needs no sort: a
// group's rows are evenly spaced, and one pass that checks the codes
// repeat is all it costs; a table in time order that is not quite one is
// listed bar by bar instead (bar_rows).  Each group is then put in time
// order the way a lone symbol's rows are taken: as they come when their times
// never fall, reversed when they never rise, otherwise sorted by time (a
// stable sort: rows of equal time keep their order).  for_each_batch hands
// the groups to threads a few neighbours at a time; each group is computed
// whole by one thread and written to rows no other group has, so the results
// do not depend on the number of threads or on which thread takes which
// group.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include "ornivex/common/instruction_sets.hpp"
#include "ornivex/common/strided_view.hpp"

namespace ornivex::grouped {

struct RowGroups {
    std::unique_ptr<index_t[]> rows;  // row positions, group by group; then the rows left out
    index_t size = 0;                 // of rows: every row of the table
    std::vector<index_t> offsets;     // group g is rows[offsets[g] .. offsets[g + 1]); count + 1 entries

    index_t count() const noexcept { return static_cast<index_t>(offsets.size()) - 1; }
    std::span<const index_t> left_out() const noexcept {
        return {rows.get() + offsets.back(), static_cast<std::size_t>(size - offsets.back())};
    }
};

// The threads a call may start: as many as asked, but no more than the
// machine's cores (further ones only wait their turn and cost their start).
inline index_t usable_threads(index_t asked) noexcept {
    const index_t cores = std::max<index_t>(1, static_cast<index_t>(std::thread::hardware_concurrency()));
    return std::clamp<index_t>(asked, 1, cores);
}

// Runs task(k) for k = 0 .. tasks - 1 over up to `threads` threads (the
// calling one included; never more than the cores or the tasks), each thread
// with a State of its own, taking the tasks in the order order(k) gives (k
// itself by default).  A thread that cannot be started leaves its share to
// the others.  Rethrows the first
// exception any task threw, after every thread has stopped.
struct InOrder {
    index_t operator()(index_t k) const noexcept { return k; }
};

template <class State, class Task, class Order = InOrder>
void run_tasks(index_t tasks, index_t threads, Task&& task, Order&& order = {}) {
    const index_t workers = std::max<index_t>(1, std::min(usable_threads(threads), tasks));
    std::atomic<index_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;  // the first failure's, written by the thread that set `failed`
    auto run = [&] {
        try {
            State state;
            for (index_t k; !failed.load(std::memory_order_relaxed) &&
                            (k = next.fetch_add(1, std::memory_order_relaxed)) < tasks;)
                task(order(k), state);
        } catch (...) {
            if (!failed.exchange(true)) error = std::current_exception();
        }
    };
    std::vector<std::thread> started;
    try {
        started.reserve(static_cast<std::size_t>(workers - 1));
        for (index_t k = 1; k < workers; ++k) started.emplace_back(run);
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
    run();
    for (std::thread& thread : started) thread.join();
    if (failed.load()) std::rethrow_exception(error);
}


struct NoState {};

// Rows 0 .. n - 1 cut into stretches for up to `threads` threads, none under
// a few tens of thousands of rows (less is not worth a thread) and at most
// `most` of them.
class Stretches {
public:
    Stretches(index_t n, index_t threads, index_t most = std::numeric_limits<index_t>::max()) noexcept
        : n_(n), count_(std::clamp<index_t>(std::min(threads, n / least_rows), 1, std::max<index_t>(1, most))) {}

    index_t count() const noexcept { return count_; }
    index_t begin(index_t p) const noexcept { return n_ / count_ * p + std::min(p, n_ % count_); }
    index_t end(index_t p) const noexcept { return begin(p + 1); }

private:
    static constexpr index_t least_rows = 1 << 16;
    index_t n_, count_;
};

// Whether the codes are those of a panel: the first `count` rows hold each
// group once, and every later row the group of the row `count` before it.
inline bool is_panel(StridedView<const std::int64_t> codes, index_t count, index_t threads) {
    const index_t n = codes.size;
    if (count < 1 || n % count != 0 || n / count < 2) return false;
    std::vector<bool> seen(static_cast<std::size_t>(count), false);
    for (index_t i = 0; i < count; ++i) {
        const std::int64_t code = codes[i];
        if (code < 0 || code >= count || seen[code]) return false;
        seen[code] = true;
    }
    const Stretches stretch(n, threads);
    std::atomic<bool> repeats{true};
    run_tasks<NoState>(stretch.count(), threads, [&](index_t p, NoState&) {
        constexpr index_t look_every = 1 << 14;  // rows between looks at whether another stretch failed
        for (index_t from = std::max(stretch.begin(p), count), end = stretch.end(p); from < end; from += look_every) {
            if (!repeats.load(std::memory_order_relaxed)) return;
            std::int64_t differ = 0;  // bits set where a code differs: no branch, whole vectors
            const index_t stop = std::min(end, from + look_every);
            if (codes.contiguous())
                for (const std::int64_t *code = codes.data() + from, *last = codes.data() + stop; code < last; ++code)
                    differ |= code[0] ^ code[-count];
            else
                for (index_t i = from; i < stop; ++i) differ |= codes[i] ^ codes[i - count];
            if (differ != 0) repeats.store(false, std::memory_order_relaxed);
        }
    });
    return repeats.load();
}

// The rows of a panel (is_panel), group by group: group g's rows are its
// first row and every count-th after it.
inline void panel_rows(StridedView<const std::int64_t> codes, index_t count, index_t threads, RowGroups& out) {
    const index_t n = codes.size, bars = n / count;
    std::vector<index_t> first(static_cast<std::size_t>(count));
    for (index_t i = 0; i < count; ++i) first[codes[i]] = i;
    out.rows = std::make_unique_for_overwrite<index_t[]>(static_cast<std::size_t>(n));  // every entry is set below
    out.size = n;
    out.offsets.resize(static_cast<std::size_t>(count + 1));
    for (index_t g = 0; g <= count; ++g) out.offsets[g] = g * bars;
    const Stretches stretch(n, threads);
    run_tasks<NoState>(stretch.count(), threads, [&](index_t p, NoState&) {
        index_t* const rows = out.rows.get();
        for (index_t at = stretch.begin(p), end = stretch.end(p); at < end;) {
            const index_t g = at / bars, stop = std::min(end, (g + 1) * bars);
            for (index_t row = first[g] + (at - g * bars) * count; at < stop; ++at, row += count) rows[at] = row;
        }
    });
}

// Every one of n rows in one group, in row order.  Throws std::bad_alloc.
inline void whole_rows(index_t n, RowGroups& out) {
    out.rows = std::make_unique_for_overwrite<index_t[]>(static_cast<std::size_t>(n));
    for (index_t i = 0; i < n; ++i) out.rows[i] = i;
    out.size = n;
    out.offsets = {0, n};
}

// Groups the rows by codes[i] in 0 .. count - 1; a code of -1 leaves the row
// out.  Returns the position of the first row with any other code, or -1
// when every code is one of those.  `panel`: is_panel holds (found by the
// caller).  Throws std::bad_alloc.
//
// With threads, each takes a stretch of rows: it counts its stretch's rows of
// every group, and then, from where the stretches before it end in each
// group, puts them in place.  The rows of a group keep their input order.
inline index_t group_rows(StridedView<const std::int64_t> codes, index_t count, index_t threads, RowGroups& out,
                          bool panel) {
    if (panel) {
        panel_rows(codes, count, threads, out);
        return -1;
    }
    const index_t n = codes.size, slots = count + 1;  // the left-out rows count as group `count`
    // Each stretch keeps a count per group: no more of them than keeps those within the rows' own size.
    const Stretches stretch(n, threads, n / slots);
    const index_t stretches = stretch.count();
    std::vector<index_t> next(static_cast<std::size_t>(stretches * slots), 0);  // counts, then where rows go
    std::vector<index_t> bad(static_cast<std::size_t>(stretches), -1);

    run_tasks<NoState>(stretches, threads, [&](index_t p, NoState&) {
        index_t* const counts = next.data() + p * slots;
        for (index_t i = stretch.begin(p), end = stretch.end(p); i < end; ++i) {
            const std::int64_t code = codes[i];
            if (code < -1 || code >= count) {
                bad[p] = i;
                return;
            }
            ++counts[code < 0 ? count : code];
        }
    });
    for (const index_t row : bad)
        if (row >= 0) return row;

    out.offsets.resize(static_cast<std::size_t>(slots + 1));
    index_t total = 0;
    for (index_t g = 0; g < slots; ++g) {
        out.offsets[g] = total;
        for (index_t p = 0; p < stretches; ++p) {
            const index_t counted = next[p * slots + g];
            next[p * slots + g] = total;
            total += counted;
        }
    }
    out.offsets[slots] = total;
    out.rows = std::make_unique_for_overwrite<index_t[]>(static_cast<std::size_t>(n));  // every entry is set below
    out.size = n;
    run_tasks<NoState>(stretches, threads, [&](index_t p, NoState&) {
        index_t* const where = next.data() + p * slots;
        index_t* const rows = out.rows.get();
        for (index_t i = stretch.begin(p), end = stretch.end(p); i < end; ++i) {
            const std::int64_t code = codes[i];
            rows[where[code < 0 ? count : code]++] = i;
        }
    });
    out.offsets.pop_back();
    return -1;
}

// The rows of `count` groups bar by bar, for lanes that take neighbouring
// groups side by side: entry t * width + g is group g's t-th row, in input
// order (width: count rounded up to whole lane blocks), so that a block's
// rows at one bar are one cache line and the bars follow each other in
// memory as the lanes go.  Entries past a group's last bar are not set.
struct BarRows {
    std::unique_ptr<index_t[]> rows;
    std::vector<index_t> length;      // width entries: each group's bars, 0 past the last group
    std::vector<index_t> block_bars;  // each lane block's: its longest group's
    std::vector<index_t> left_out;    // the rows with code -1
    index_t width = 0, longest = 0;
};

// Fills `out` and returns true; or returns false, having set nothing, when a
// code is out of range (group_rows reports it), every group's rows are one run
// (read in place group by group), or neighbouring groups' lengths differ so
// much that more than a quarter of the lanes' bars would idle.  Throws
// std::bad_alloc.
inline bool bar_rows(StridedView<const std::int64_t> codes, index_t count, index_t lanes, index_t threads,
                     BarRows& out) {
    const index_t n = codes.size, slots = count + 1;  // the left-out rows count as group `count`
    const Stretches stretch(n, threads, n / slots);
    const index_t stretches = stretch.count();
    std::vector<index_t> next(static_cast<std::size_t>(stretches * slots), 0);  // counts, then each group's next bar
    std::vector<index_t> changes(static_cast<std::size_t>(stretches), 0);      // rows whose code is not the one before's
    std::atomic<bool> bad{false};
    run_tasks<NoState>(stretches, threads, [&](index_t p, NoState&) {
        index_t* const counts = next.data() + p * slots;
        const index_t begin = stretch.begin(p), end = stretch.end(p);
        std::int64_t before = begin > 0 ? codes[begin - 1] : codes[begin];
        index_t changed = 0;
        for (index_t i = begin; i < end; ++i) {
            const std::int64_t code = codes[i];
            if (code < -1 || code >= count) {
                bad.store(true, std::memory_order_relaxed);
                return;
            }
            ++counts[code < 0 ? count : code];
            changed += code != before;
            before = code;
        }
        changes[p] = changed;
    });
    if (bad.load() || n == 0) return false;

    // Each group's counts become where each stretch's rows of it begin.
    std::vector<index_t> length(static_cast<std::size_t>((count + lanes - 1) / lanes * lanes), 0);
    index_t present = 0, longest = 0, left_out = 0;
    for (index_t g = 0; g < slots; ++g) {
        index_t total = 0;
        for (index_t p = 0; p < stretches; ++p) {
            const index_t counted = next[p * slots + g];
            next[p * slots + g] = total;
            total += counted;
        }
        present += total > 0;
        if (g == count)
            left_out = total;
        else
            longest = std::max(longest, length[g] = total);
    }
    index_t runs = 1;
    for (const index_t changed : changes) runs += changed;
    if (runs == present) return false;
    // Lane bars: each block runs as long as its longest group.  The list
    // itself is as long as the longest group for every group, but only the
    // entries set are touched.
    const auto width = static_cast<index_t>(length.size());
    std::vector<index_t> block_bars(static_cast<std::size_t>(width / lanes));
    index_t lane_bars = 0;
    for (index_t b = 0; b < width / lanes; ++b) {
        block_bars[b] = *std::max_element(length.begin() + b * lanes, length.begin() + (b + 1) * lanes);
        lane_bars += lanes * block_bars[b];
    }
    if (4 * (lane_bars - (n - left_out)) > lane_bars || longest > 4 * n / std::max<index_t>(width, 1)) return false;

    out.rows = std::make_unique_for_overwrite<index_t[]>(static_cast<std::size_t>(longest * width));
    out.length = std::move(length);
    out.block_bars = std::move(block_bars);
    out.width = width;
    out.longest = longest;
    std::vector<std::vector<index_t>> left(static_cast<std::size_t>(stretches));
    run_tasks<NoState>(stretches, threads, [&](index_t p, NoState&) {
        index_t* const bar = next.data() + p * slots;
        index_t* const rows = out.rows.get();
        for (index_t i = stretch.begin(p), end = stretch.end(p); i < end; ++i) {
            const std::int64_t code = codes[i];
            if (code < 0)
                left[p].push_back(i);
            else
                rows[bar[code]++ * width + code] = i;
        }
    });
    out.left_out.reserve(static_cast<std::size_t>(left_out));
    for (const std::vector<index_t>& rows : left) out.left_out.insert(out.left_out.end(), rows.begin(), rows.end());
    return true;
}

// A few neighbouring groups, computed by one thread together.  Their rows lie
// side by side in RowGroups::rows, and a thread's scratch series hold the
// batch's values at the same indices (group j at begin(j) .. begin(j) +
// length(j)).
struct Batch {
    index_t* rows;                   // the batch's rows, group by group; or null: rows bounds[0] .. bounds.back() - 1
    std::span<const index_t> bounds;  // RowGroups::offsets of its groups and of the group after

    index_t size() const noexcept { return static_cast<index_t>(bounds.size()) - 1; }
    index_t begin(index_t j) const noexcept { return bounds[j] - bounds[0]; }
    index_t length(index_t j) const noexcept { return bounds[j + 1] - bounds[j]; }
    index_t total() const noexcept { return bounds.back() - bounds[0]; }
    std::span<index_t> group(index_t j) const noexcept {
        return {rows + begin(j), static_cast<std::size_t>(length(j))};
    }
};

inline constexpr std::int64_t missing_time = std::numeric_limits<std::int64_t>::min();  // NumPy's NaT

// What the steps of a time column hold: whether any time is earlier than the
// one `apart` rows before it, and whether any time is missing.
struct TimeSteps {
    bool fall = false, missing = false;
};

namespace time_steps_detail {
// The steps of times [begin, end) to those `apart` rows before (none before
// row `apart`).  Flags ORed, no branch per row: a whole-vector loop where
// the set compares int64 lanes.
struct StepKernel {
    template <InstructionSet>
    static TimeSteps run(StridedView<const std::int64_t> times, index_t apart, index_t begin, index_t end) noexcept {
        unsigned fell = 0, missing = 0;
        for (index_t i = begin; i < std::min(end, apart); ++i) missing |= times[i] == missing_time;
        begin = std::max(begin, apart);
        if (times.contiguous())
            for (const std::int64_t *at = times.data() + begin, *last = times.data() + end; at < last; ++at) {
                missing |= at[0] == missing_time;
                fell |= at[0] < at[-apart];
            }
        else
            for (index_t i = begin; i < end; ++i) {
                missing |= times[i] == missing_time;
                fell |= times[i] < times[i - apart];
            }
        return {fell != 0, missing != 0};
    }
};
}  // namespace time_steps_detail

// The steps of `times` over up to `threads` threads.  With `apart` 1: the
// rows are in time order when no step falls and no time is missing; with a
// panel's symbol count, each symbol's are.
inline TimeSteps time_steps(StridedView<const std::int64_t> times, index_t apart, index_t threads) {
    const Stretches stretch(times.size, threads);
    std::atomic<bool> fall{false}, missing{false};
    run_tasks<NoState>(stretch.count(), threads, [&](index_t p, NoState&) {
        const TimeSteps steps =
            run_kernel<time_steps_detail::StepKernel>(times, apart, stretch.begin(p), stretch.end(p));
        if (steps.fall) fall.store(true, std::memory_order_relaxed);
        if (steps.missing) missing.store(true, std::memory_order_relaxed);
    });
    return {fall.load(), missing.load()};
}

// Puts one group's rows (in input order) in time order; `times` has an entry
// per input row.  Returns false when a time is missing (the rows are then
// ordered as if it were the earliest).  Throws std::bad_alloc (the stable
// sort's buffer).
inline bool order_by_time(std::span<index_t> rows, StridedView<const std::int64_t> times) {
    bool rises = false, falls = false, missing = !rows.empty() && times[rows[0]] == missing_time;
    for (std::size_t k = 1; k < rows.size(); ++k) {
        const std::int64_t before = times[rows[k - 1]], now = times[rows[k]];
        rises |= now > before;
        falls |= now < before;
        missing |= now == missing_time;
    }
    if (!falls) return !missing;
    if (!rises)
        std::reverse(rows.begin(), rows.end());
    else
        std::stable_sort(rows.begin(), rows.end(), [times](index_t a, index_t b) { return times[a] < times[b]; });
    return !missing;
}

inline constexpr index_t batch_groups = 16;
inline constexpr index_t batch_rows = 1 << 15;  // unless one group alone has more

// Runs work(batch, scratch) for batches of neighbouring groups over up to
// `threads` threads (the calling one included), each with a Scratch of its
// own.  Throws std::bad_alloc when any batch's work did, after every thread
// has stopped.
template <class Scratch, class Work>
void for_each_batch(RowGroups& groups, index_t threads, Work&& work) {
    const index_t count = groups.count();
    const index_t workers = std::max<index_t>(1, std::min(threads, count));
    const index_t most = std::clamp<index_t>(count / (workers * 4), 1, batch_groups);
    std::vector<index_t> starts{0};
    for (index_t g = 0; g < count; ++g) {
        const index_t first = starts.back();
        if (g > first && (g - first == most || groups.offsets[g + 1] - groups.offsets[first] > batch_rows))
            starts.push_back(g);
    }
    starts.push_back(count);
    const index_t batches = static_cast<index_t>(starts.size()) - 1;

    // The k-th batch taken is in part k % workers of the batches: threads that
    // work at the same time write rows far apart, not neighbours sharing
    // cache lines (as an interleaved table's neighbouring groups do).
    const index_t part = (batches + workers - 1) / workers;
    run_tasks<Scratch>(workers * part, threads, [&](index_t b, Scratch& scratch) {
        if (b >= batches) return;
        const std::span<const index_t> bounds(groups.offsets.data() + starts[b],
                                              static_cast<std::size_t>(starts[b + 1] - starts[b] + 1));
        work(Batch{groups.rows.get() + bounds[0], bounds}, scratch);
    }, [&](index_t k) { return k % workers * part + k / workers; });
}

}  // namespace ornivex::grouped
