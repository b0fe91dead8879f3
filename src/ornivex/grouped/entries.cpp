// halftrend, swing and atr over the rows of a long table, group by group, and
// the string columns' group codes; true_range and trend of one series; whether
// a table's rows are in time order.
//
// Every function takes the table's price columns, `codes` (a group number per
// row, -1 for a row left out), the number of groups, `times` (int64 per row,
// or None: each group in its row order), the indicator's parameters and the
// number of threads, and returns a tuple of result columns with one element
// per row, then whether every row was sound: none left out, no missing time
// (NaT) and no NaN or infinite price (the caller that has not left out its
// bad rows beforehand then finds them).  The order of the steps is that of the other modules' entries:
// bind, convert, type-test, view, allocate, then the grouping and the kernels
// without the interpreter lock, over the threads (groups.hpp, work.hpp).
#include <Python.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "ornivex/common/args.hpp"
#include "ornivex/common/buffer.hpp"
#include "ornivex/common/convert.hpp"
#include "ornivex/common/errors.hpp"
#include "ornivex/common/numpy_api.hpp"
#include "ornivex/common/result_memory.hpp"
#include "ornivex/common/without_gil.hpp"
#include "ornivex/grouped/names.hpp"
#include "ornivex/grouped/objects.hpp"
#include "ornivex/grouped/panel.hpp"
#include "ornivex/grouped/strings.hpp"
#include "ornivex/grouped/work.hpp"

namespace ornivex::grouped {

namespace {

inline constexpr ElementDescriptor int64_element{"int64_t", 8, 'I', NPY_INT64};

std::optional<long> whole_number(const char* func, const char* param, PyObject* obj, long minimum) {
    const auto value = to_long(obj);
    if (!value) return err::propagate();
    if (*value < minimum) return err::parameter_too_small(func, param, minimum, obj);
    return value;
}

// An array argument: required ones must not be None; `optional` ones may be.
bool view_argument(ArrayView& view, const char* param, PyObject* obj, const ElementDescriptor& element,
                   bool optional = false) {
    if (!(optional && obj == Py_None) && !check_array_argument(param, obj)) return false;
    return view.acquire(obj, element);
}

// The high, low and close series, the first three arguments of every function that takes bars.
bool view_prices(PyObject* const* bound, ArrayView& high, ArrayView& low, ArrayView& close) {
    return view_argument(high, "high", bound[0], double_element) && view_argument(low, "low", bound[1], double_element) &&
           view_argument(close, "close", bound[2], double_element);
}

// What every function takes beside its series: the groups, the times and the threads.
struct Grouping {
    ArrayView codes, times;
    bool whole = false;  // no codes: every row in group 0, in row order
    index_t count = 0;
    index_t threads = 1;

    // bound: codes, groups, times, threads.
    bool bind(const char* func, PyObject* const (&bound)[4]) {
        const auto groups = whole_number(func, "groups", bound[1], 0);
        const auto thread_count = groups ? whole_number(func, "threads", bound[3], 1) : std::nullopt;
        whole = bound[0] == Py_None;
        if (!thread_count || !view_argument(codes, "codes", bound[0], int64_element, /*optional=*/true) ||
            !view_argument(times, "times", bound[2], int64_element, /*optional=*/true))
            return false;
        // The rows' grouping holds an offset per group: refuse a count no memory could hold.
        if (*groups > PTRDIFF_MAX / static_cast<long>(sizeof(index_t)) - 2) {
            PyErr_NoMemory();
            return false;
        }
        count = *groups;
        threads = *thread_count;
        return true;
    }

    StridedView<const std::int64_t> time_view() const noexcept { return times.read<std::int64_t>(); }
};

// The lengths of the row series (None ones left out) agree.
bool equal_lengths(const char* func, std::initializer_list<std::pair<const char*, const ArrayView*>> series,
                   PyObject* const* objects) {
    const char* names[8];
    Py_ssize_t lengths[8];
    int count = 0, k = 0;
    bool equal = true;
    for (const auto& [name, view] : series) {
        if (objects[k++] == Py_None) continue;
        names[count] = name;
        lengths[count] = view->size();
        equal = equal && lengths[count] == lengths[0];
        ++count;
    }
    return equal || err::unequal_lengths(func, names, lengths, count);
}

// New result columns of n elements, and contiguous views of them.  Their
// memory is result memory: whole huge pages for the large ones.
struct Columns {
    Owned arrays[10];
    int count = 0;
    ResultMemory memory;

    template <class T>
    StridedView<T> add(Py_ssize_t n, int type_number) {
        npy_intp shape[1] = {n};
        Owned& array = arrays[count++];
        if (count > 1 && !arrays[count - 2]) return {};  // an earlier one failed: its exception stands
        if (count == 1 && !memory.install()) return {};
        array = Owned::steal(PyArray_SimpleNew(1, shape, type_number));
        if (!array) return {};
        return {static_cast<char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()))),
                static_cast<index_t>(sizeof(T)), n};
    }

    bool made() const noexcept {
        for (int k = 0; k < count; ++k)
            if (!arrays[k]) return false;
        return true;
    }

    // The columns, then whether every row was sound.
    Owned tuple(const BadRowsSeen& bad) {
        Owned result = Owned::steal(PyTuple_New(count + 1));
        if (!result) return Owned();
        for (int k = 0; k < count; ++k) PyTuple_SET_ITEM(result.get(), k, arrays[k].release());
        PyTuple_SET_ITEM(result.get(), count, Py_NewRef(bad.seen() ? Py_False : Py_True));
        return result;
    }
};

// Groups the rows and runs `work` over every group, then over the rows left
// out.  `rows`: the table's.
template <class Work>
bool run_groups(const Grouping& grouping, const Work& work, index_t rows) {
    RowGroups groups;
    index_t bad_row = -1;
    const StridedView<const std::int64_t> codes = grouping.codes.read<std::int64_t>();
    if (grouping.whole && grouping.count < 1 && rows > 0) return err::group_code(0, 0, grouping.count);
    const bool ran = run_without_gil([&] {
        if (grouping.whole && work.times.size == 0) {
            // One run of rows, in place: no row list to make.
            const index_t bounds[2] = {0, rows};
            typename Work::Scratch scratch;
            if (rows > 0) work(Batch{nullptr, bounds}, scratch);
            return;
        }
        const bool panel = !grouping.whole && is_panel(codes, grouping.count, grouping.threads);
        if (panel && try_panel(work, grouping.count, grouping.threads)) return;
        if (BarRows bars; !grouping.whole && try_listed(work, codes, grouping.count, grouping.threads, bars)) {
            work.leave_out(bars.left_out);
            work.bad.note(!bars.left_out.empty());
            return;
        }
        if (grouping.whole)
            whole_rows(rows, groups);
        else
            bad_row = group_rows(codes, grouping.count, grouping.threads, groups, panel);
        if (bad_row >= 0) return;
        for_each_batch<typename Work::Scratch>(groups, grouping.threads, work);
        if constexpr (requires { work.dress_later; })
            if (work.dress_later.needed()) work.dress_rows(grouping.threads);
        work.leave_out(groups.left_out());
        work.bad.note(!groups.left_out().empty());
    });
    if (!ran) return false;
    return bad_row < 0 || err::group_code(bad_row, codes[bad_row], grouping.count);
}

const GroupedNames& key() { return grouped_names(); }

// ---- halftrend(high, low, close, tr, codes, groups, times, amplitude, channel_deviation, atr_length, threads)

const Signature& halftrend_signature() {
    static PyObject* const params[] = {key().high,     key().low,       key().close,     key().tr,
                                       key().codes,    key().groups,    key().times,     key().amplitude,
                                       key().channel_deviation, key().atr_length, key().threads};
    static const Signature signature{"halftrend", 11, 11, params};
    return signature;
}

Owned halftrend_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* bound[11];
    if (!bind_arguments(halftrend_signature(), args, nargsf, kwnames, bound)) return Owned();
    const auto amplitude = to_int32(bound[7]);
    if (!amplitude) return Owned();
    if (*amplitude < 1) return err::parameter_too_small("halftrend", "amplitude", 1, bound[7]);
    const auto channel_deviation = to_double(bound[8]);
    if (!channel_deviation) return Owned();
    // The average true range's length matters (and is checked) only without a given tr.
    const auto atr_length = bound[3] == Py_None ? whole_number("halftrend", "atr_length", bound[9], 1) : 1;
    if (!atr_length) return Owned();
    Grouping grouping;
    if (!grouping.bind("halftrend", {bound[4], bound[5], bound[6], bound[10]})) return Owned();
    ArrayView high, low, close, tr;
    if (!view_prices(bound, high, low, close) ||
        !view_argument(tr, "tr", bound[3], double_element, /*optional=*/true))
        return Owned();
    PyObject* const objects[] = {bound[0], bound[1], bound[2], bound[3], bound[4], bound[6]};
    if (!equal_lengths("halftrend",
                       {{"high", &high}, {"low", &low}, {"close", &close}, {"tr", &tr}, {"codes", &grouping.codes},
                        {"times", &grouping.times}},
                       objects))
        return Owned();
    Promotion promotion;
    if (!current_promotion(promotion)) return Owned();

    const Py_ssize_t n = high.size();
    Columns columns;
    const HalftrendColumns out{{columns.add<float>(n, NPY_FLOAT), columns.add<float>(n, NPY_FLOAT),
                                columns.add<float>(n, NPY_FLOAT), columns.add<float>(n, NPY_FLOAT),
                                columns.add<float>(n, NPY_FLOAT), columns.add<std::int64_t>(n, NPY_INT64),
                                columns.add<std::int64_t>(n, NPY_INT64)},
                               columns.add<std::int8_t>(n, NPY_INT8),
                               columns.add<float>(n, NPY_FLOAT),
                               columns.add<std::int8_t>(n, NPY_INT8)};
    if (!columns.made()) return Owned();
    const BadRowsSeen bad;
    const DressLater dress_later;
    const HalftrendWork work{high.read<double>(), low.read<double>(),  close.read<double>(), tr.read<double>(),
                             grouping.time_view(), *amplitude,          *channel_deviation,   *atr_length,
                             promotion,           out,                 bad,                 dress_later};
    if (!run_groups(grouping, work, n)) return Owned();
    return columns.tuple(bad);
}

// ---- swing(close, codes, groups, times, period, multiplier, threads) ---------

const Signature& swing_signature() {
    static PyObject* const params[] = {key().close,  key().codes,      key().groups, key().times,
                                       key().period, key().multiplier, key().threads};
    static const Signature signature{"swing", 7, 7, params};
    return signature;
}

Owned swing_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* bound[7];
    if (!bind_arguments(swing_signature(), args, nargsf, kwnames, bound)) return Owned();
    const auto period = whole_number("swing", "period", bound[4], 1);
    if (!period) return Owned();
    const auto multiplier = to_double(bound[5]);
    if (!multiplier) return Owned();
    Grouping grouping;
    if (!grouping.bind("swing", {bound[1], bound[2], bound[3], bound[6]})) return Owned();
    ArrayView close;
    if (!view_argument(close, "close", bound[0], double_element)) return Owned();
    PyObject* const objects[] = {bound[0], bound[1], bound[3]};
    if (!equal_lengths("swing", {{"close", &close}, {"codes", &grouping.codes}, {"times", &grouping.times}},
                       objects))
        return Owned();
    const Py_ssize_t n = close.size();
    // A group long enough for the band hands the period to the range size as
    // an int32, as the swing module's own calls do.
    if (*period > INT32_MAX && swing::has_range_sizes(n, *period)) return err::int_overflow();

    Columns columns;
    const StridedView<double> high_band = columns.add<double>(n, NPY_DOUBLE);
    const StridedView<double> low_band = columns.add<double>(n, NPY_DOUBLE);
    const StridedView<double> filter = columns.add<double>(n, NPY_DOUBLE);
    if (!columns.made()) return Owned();
    const BadRowsSeen bad;
    const SwingWork work{close.read<double>(), grouping.time_view(), *period, *multiplier,
                         {filter, high_band, low_band}, bad};
    if (!run_groups(grouping, work, n)) return Owned();
    return columns.tuple(bad);
}

// ---- atr(high, low, close, codes, groups, times, length, threads) ------------

const Signature& atr_signature() {
    static PyObject* const params[] = {key().high,  key().low,   key().close,  key().codes,
                                       key().groups, key().times, key().length, key().threads};
    static const Signature signature{"atr", 8, 8, params};
    return signature;
}

Owned atr_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* bound[8];
    if (!bind_arguments(atr_signature(), args, nargsf, kwnames, bound)) return Owned();
    const auto length = whole_number("atr", "length", bound[6], 1);
    if (!length) return Owned();
    Grouping grouping;
    if (!grouping.bind("atr", {bound[3], bound[4], bound[5], bound[7]})) return Owned();
    ArrayView high, low, close;
    if (!view_prices(bound, high, low, close)) return Owned();
    PyObject* const objects[] = {bound[0], bound[1], bound[2], bound[3], bound[5]};
    if (!equal_lengths("atr",
                       {{"high", &high}, {"low", &low}, {"close", &close}, {"codes", &grouping.codes},
                        {"times", &grouping.times}},
                       objects))
        return Owned();
    const Py_ssize_t n = high.size();
    Columns columns;
    const StridedView<double> true_range = columns.add<double>(n, NPY_DOUBLE);
    const StridedView<double> atr = columns.add<double>(n, NPY_DOUBLE);
    if (!columns.made()) return Owned();
    const BadRowsSeen bad;
    const AtrWork work{high.read<double>(), low.read<double>(), close.read<double>(), grouping.time_view(),
                       *length,             true_range,         atr,                 bad};
    if (!run_groups(grouping, work, n)) return Owned();
    return columns.tuple(bad);
}

// ---- true_range(high, low, close) and trend(buy, sell) -------------------------
//
// One series' true range and HalfTrend's trend from its signals: the rules the
// long tables use, for the single-series routes.

const Signature& true_range_signature() {
    static PyObject* const params[] = {key().high, key().low, key().close};
    static const Signature signature{"true_range", 3, 3, params};
    return signature;
}

Owned true_range_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* bound[3];
    if (!bind_arguments(true_range_signature(), args, nargsf, kwnames, bound)) return Owned();
    ArrayView high, low, close;
    if (!view_prices(bound, high, low, close) ||
        !equal_lengths("true_range", {{"high", &high}, {"low", &low}, {"close", &close}}, bound))
        return Owned();
    Columns columns;
    const StridedView<double> out = columns.add<double>(high.size(), NPY_DOUBLE);
    if (!columns.made()) return Owned();
    atr::true_ranges(high.read<double>(), low.read<double>(), close.read<double>(), out);
    return std::move(columns.arrays[0]);
}

// series_atr(high, low, close, length): one series' true range and average
// true range in one pass, and whether every price was finite.

const Signature& series_atr_signature() {
    static PyObject* const params[] = {key().high, key().low, key().close, key().length};
    static const Signature signature{"series_atr", 4, 4, params};
    return signature;
}

Owned series_atr_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* bound[4];
    if (!bind_arguments(series_atr_signature(), args, nargsf, kwnames, bound)) return Owned();
    const auto length = whole_number("series_atr", "length", bound[3], 1);
    if (!length) return Owned();
    ArrayView high, low, close;
    if (!view_prices(bound, high, low, close) ||
        !equal_lengths("series_atr", {{"high", &high}, {"low", &low}, {"close", &close}}, bound))
        return Owned();
    const Py_ssize_t n = high.size();
    Columns columns;
    const StridedView<double> true_range = columns.add<double>(n, NPY_DOUBLE);
    const StridedView<double> atr = columns.add<double>(n, NPY_DOUBLE);
    if (!columns.made()) return Owned();
    bool finite = true;
    if (!run_without_gil([&] {
            finite = atr::true_ranges_and_averages(*length, high.read<double>(), low.read<double>(),
                                                   close.read<double>(), true_range, atr);
        }))
        return Owned();
    BadRowsSeen bad;
    bad.note(!finite);
    return columns.tuple(bad);
}

const Signature& trend_signature() {
    static PyObject* const params[] = {key().buy, key().sell};
    static const Signature signature{"trend", 2, 2, params};
    return signature;
}

Owned trend_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* bound[2];
    if (!bind_arguments(trend_signature(), args, nargsf, kwnames, bound)) return Owned();
    ArrayView buy, sell;
    if (!view_argument(buy, "buy", bound[0], int64_element) || !view_argument(sell, "sell", bound[1], int64_element) ||
        !equal_lengths("trend", {{"buy", &buy}, {"sell", &sell}}, bound))
        return Owned();
    Columns columns;
    const StridedView<std::int8_t> out = columns.add<std::int8_t>(buy.size(), NPY_INT8);
    if (!columns.made()) return Owned();
    trend::halftrend::trend_from_signals(buy.read<std::int64_t>(), sell.read<std::int64_t>(), out);
    return std::move(columns.arrays[0]);
}

// ---- in_time_order(times, threads) -------------------------------------------
//
// Whether a table's rows are in time order: no time missing (NaT) and none
// earlier than the row's before it.  Each symbol's rows then are too.

const Signature& in_time_order_signature() {
    static PyObject* const params[] = {key().times, key().threads};
    static const Signature signature{"in_time_order", 2, 2, params};
    return signature;
}

Owned in_time_order_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* bound[2];
    if (!bind_arguments(in_time_order_signature(), args, nargsf, kwnames, bound)) return Owned();
    const auto threads = whole_number("in_time_order", "threads", bound[1], 1);
    ArrayView times;
    if (!threads || !view_argument(times, "times", bound[0], int64_element)) return Owned();
    TimeSteps steps;
    if (!run_without_gil([&] { steps = time_steps(times.read<std::int64_t>(), 1, *threads); })) return Owned();
    return Owned::steal(PyBool_FromLong(!steps.fall && !steps.missing));
}

// ---- string_codes(offsets, data, validity, validity_offset, threads) ---------
// ---- string_view_codes(views, buffers, validity, validity_offset, threads) ---
//
// The codes of an Arrow string column's rows (strings.hpp) and the row each
// code first appears on.  The column is offsets (int32 or int64, one more than
// rows) and the data bytes, or a 16-byte view per row and a tuple of data
// buffers; then the validity bitmap or None, and the bit of row 0 in it.

inline constexpr ElementDescriptor byte_element{"uint8_t", 1, 'U', NPY_UINT8};

const Signature& string_codes_signature() {
    static PyObject* const params[] = {key().offsets, key().data, key().validity, key().validity_offset,
                                       key().threads};
    static const Signature signature{"string_codes", 5, 5, params};
    return signature;
}

const Signature& string_view_codes_signature() {
    static PyObject* const params[] = {key().views, key().buffers, key().validity, key().validity_offset,
                                       key().threads};
    static const Signature signature{"string_view_codes", 5, 5, params};
    return signature;
}

// A byte array argument, contiguous.
bool view_bytes(ArrayView& view, const char* param, PyObject* obj) {
    if (!view_argument(view, param, obj, byte_element)) return false;
    return view.size() < 2 || view.read<unsigned char>().stride == 1 || err::not_contiguous(param);
}

// What both take after their column: the validity bitmap and its first bit, and the threads.
struct Rows {
    ArrayView bitmap;
    index_t offset = 0;
    index_t threads = 1;

    // bound: validity, validity_offset, threads.
    bool bind(const char* func, PyObject* const (&bound)[3]) {
        const auto first = whole_number(func, "validity_offset", bound[1], 0);
        const auto thread_count = first ? whole_number(func, "threads", bound[2], 1) : std::nullopt;
        if (!thread_count || !view_argument(bitmap, "validity", bound[0], byte_element, /*optional=*/true))
            return false;
        offset = *first;
        threads = *thread_count;
        return true;
    }

    // The bitmap has a bit for each of n rows: offset + n bits, counted in
    // 64 unsigned bits, where two Py_ssize_t values always fit.
    bool cover(PyObject* validity, Py_ssize_t n) const {
        const std::uint64_t bits = static_cast<std::uint64_t>(offset) + static_cast<std::uint64_t>(n);
        const std::uint64_t bytes = bits / 8 + (bits % 8 != 0);
        return validity == Py_None || n == 0 || bytes <= static_cast<std::uint64_t>(bitmap.size()) ||
               err::validity_too_short(bitmap.size(), offset, n);
    }

    Validity valid() const noexcept { return {bitmap.read<std::uint8_t>(), offset}; }
};

// Numbers the column's n rows; on a row that cannot be read, `bad_row(at)`
// raises its error.  Returns the codes and the rows where each first appears.
template <class Number, class BadRow>
Owned number_column(Py_ssize_t n, const Number& number, const BadRow& bad_row) {
    Columns columns;
    std::int64_t* const codes = columns.add<std::int64_t>(n, NPY_INT64).data();  // contiguous: a new array
    if (!columns.made()) return Owned();
    std::vector<index_t> first_rows;
    index_t bad = -1;
    if (!run_without_gil([&] { bad = number(codes, first_rows); })) return Owned();
    if (bad >= 0) return bad_row(bad);
    const StridedView<std::int64_t> firsts = columns.add<std::int64_t>(static_cast<Py_ssize_t>(first_rows.size()),
                                                                       NPY_INT64);
    if (!columns.made()) return Owned();
    for (std::size_t k = 0; k < first_rows.size(); ++k) firsts.set(static_cast<index_t>(k), first_rows[k]);
    Owned result = Owned::steal(PyTuple_New(2));
    if (!result) return Owned();
    for (int k = 0; k < 2; ++k) PyTuple_SET_ITEM(result.get(), k, columns.arrays[k].release());
    return result;
}

template <class Offset>
Owned number_offsets(const ArrayView& offsets, const ArrayView& data, const Rows& rows) {
    const StringColumn<Offset> column{offsets.read<Offset>(), data.read<unsigned char>().data(), data.size(),
                                      rows.valid()};
    return number_column(
        column.size(),
        [&](std::int64_t* codes, std::vector<index_t>& first_rows) {
            return string_codes(column, rows.threads, codes, first_rows);
        },
        [&](index_t at) { return err::string_offset(at, offsets.read<Offset>()[at], data.size()); });
}

Owned string_codes_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* bound[5];
    if (!bind_arguments(string_codes_signature(), args, nargsf, kwnames, bound)) return Owned();
    Rows rows;
    if (!rows.bind("string_codes", {bound[2], bound[3], bound[4]}) || !check_array_argument("offsets", bound[0]))
        return Owned();
    // Arrow's string columns have int32 offsets, its large ones int64.
    const bool narrow = PyArray_ITEMSIZE(reinterpret_cast<PyArrayObject*>(bound[0])) == 4;
    ArrayView offsets, data;
    if (!view_argument(offsets, "offsets", bound[0], narrow ? int32_element : int64_element) ||
        !view_bytes(data, "data", bound[1]))
        return Owned();
    if (offsets.size() == 0) return err::no_offsets();
    if (!rows.cover(bound[2], offsets.size() - 1)) return Owned();
    return narrow ? number_offsets<std::int32_t>(offsets, data, rows)
                  : number_offsets<std::int64_t>(offsets, data, rows);
}

Owned string_view_codes_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* bound[5];
    if (!bind_arguments(string_view_codes_signature(), args, nargsf, kwnames, bound)) return Owned();
    Rows rows;
    ArrayView views;
    if (!rows.bind("string_view_codes", {bound[2], bound[3], bound[4]}) || !view_bytes(views, "views", bound[0]))
        return Owned();
    if (views.size() % 16 != 0) return err::view_bytes(views.size());
    if (!PyTuple_Check(bound[1])) return err::argument_type("buffers", &PyTuple_Type, bound[1]);
    const Py_ssize_t buffer_count = PyTuple_GET_SIZE(bound[1]);
    std::vector<ArrayView> buffer_views(static_cast<std::size_t>(buffer_count));
    std::vector<Text> buffers;
    for (Py_ssize_t k = 0; k < buffer_count; ++k) {
        ArrayView& view = buffer_views[static_cast<std::size_t>(k)];
        if (!view_bytes(view, "buffers", PyTuple_GET_ITEM(bound[1], k))) return Owned();
        buffers.push_back({view.read<unsigned char>().data(), view.size()});
    }
    const Py_ssize_t n = views.size() / 16;
    if (!rows.cover(bound[2], n)) return Owned();
    const ViewColumn column{views.read<unsigned char>().data(), n, buffers.data(), buffer_count, rows.valid()};
    return number_column(
        n,
        [&](std::int64_t* codes, std::vector<index_t>& first_rows) {
            return string_codes(column, rows.threads, codes, first_rows);
        },
        [&](index_t at) { return err::string_view(at, buffer_count); });
}

// ---- object_codes(objects, missing, threads) ---------------------------------
//
// The codes of a column of str objects (objects.hpp) and the row each code
// first appears on, as string_codes gives them; `missing` is a tuple of
// further objects taken as missing values besides None and NaN.  None when a
// row holds anything else, for the caller to number the column another way.
// The interpreter lock stays held (objects.hpp says why).

const Signature& object_codes_signature() {
    static PyObject* const params[] = {key().objects, key().missing, key().threads};
    static const Signature signature{"object_codes", 3, 3, params};
    return signature;
}

Owned object_codes_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* bound[3];
    if (!bind_arguments(object_codes_signature(), args, nargsf, kwnames, bound)) return Owned();
    const auto threads = whole_number("object_codes", "threads", bound[2], 1);
    if (!threads || !check_array_argument("objects", bound[0])) return Owned();
    if (!PyTuple_Check(bound[1])) return err::argument_type("missing", &PyTuple_Type, bound[1]);
    auto* const array = reinterpret_cast<PyArrayObject*>(bound[0]);
    if (PyArray_NDIM(array) != 1 || PyArray_TYPE(array) != NPY_OBJECT) return err::not_object_array("objects");
    const Owned held = Owned::incref(bound[0]);  // the array, and so every object in it, for the call
    const ObjectColumn column{{static_cast<const char*>(PyArray_DATA(array)), PyArray_STRIDE(array, 0),
                               PyArray_DIM(array, 0)},
                              &PyTuple_GET_ITEM(bound[1], 0),
                              PyTuple_GET_SIZE(bound[1])};
    const Py_ssize_t n = column.size();
    Columns columns;
    std::int64_t* const codes = columns.add<std::int64_t>(n, NPY_INT64).data();  // contiguous: a new array
    if (!columns.made()) return Owned();
    std::vector<index_t> first_rows;
    if (string_codes(column, *threads, codes, first_rows) >= 0) return Owned::incref(Py_None);
    const StridedView<std::int64_t> firsts = columns.add<std::int64_t>(static_cast<Py_ssize_t>(first_rows.size()),
                                                                       NPY_INT64);
    if (!columns.made()) return Owned();
    for (std::size_t k = 0; k < first_rows.size(); ++k) firsts.set(static_cast<index_t>(k), first_rows[k]);
    Owned result = Owned::steal(PyTuple_New(2));
    if (!result) return Owned();
    for (int k = 0; k < 2; ++k) PyTuple_SET_ITEM(result.get(), k, columns.arrays[k].release());
    return result;
}

}  // namespace

const Entry entries[10] = {
    {"halftrend", halftrend_entry, halftrend_signature},
    {"swing", swing_entry, swing_signature},
    {"atr", atr_entry, atr_signature},
    {"string_codes", string_codes_entry, string_codes_signature},
    {"string_view_codes", string_view_codes_entry, string_view_codes_signature},
    {"true_range", true_range_entry, true_range_signature},
    {"trend", trend_entry, trend_signature},
    {"series_atr", series_atr_entry, series_atr_signature},
    {"object_codes", object_codes_entry, object_codes_signature},
    {"in_time_order", in_time_order_entry, in_time_order_signature},
};

}  // namespace ornivex::grouped
