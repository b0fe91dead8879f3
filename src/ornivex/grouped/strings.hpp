// Numbers the rows of an Arrow string column by their strings: equal strings
// get equal codes, different strings different codes, a null row -1.  Codes
// are given in order of first appearance (the first row's string is 0, the
// next string not seen before 1, ...), so they depend on the rows alone and
// never on the number of threads.
//
// With threads, each takes a stretch of rows and numbers it with a table of
// its own (codes in order of first appearance within the stretch).  The
// tables are then merged in stretch order, which gives every stretch's codes
// their final numbers in order of first appearance over all rows, and the
// threads rewrite their stretches' codes (the first stretch's are final).
//
// Both of Arrow's layouts are read: offsets into one data buffer, or a view
// per row (short strings in the view itself, longer ones in data buffers).
// Offsets or views that leave the buffers are reported, never read past; a
// null row's are not read.  Python str objects are read in objects.hpp.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "ornivex/common/strided_view.hpp"
#include "ornivex/grouped/groups.hpp"

namespace ornivex::grouped {

// One string's bytes, and how wide its characters are: 1 for Arrow's UTF-8;
// 1, 2 or 4 for a Python str, which keeps each string in the narrowest width
// its characters fit (equal strings have equal widths and bytes, while
// strings of different widths may have equal bytes).
struct Text {
    const unsigned char* bytes;
    index_t length;
    int width = 1;
};

// Which rows of a column are present: bit offset + i of the bitmap set for a
// present row i; an empty bitmap has every row present.
struct Validity {
    StridedView<const std::uint8_t> bitmap;
    index_t offset;

    bool operator()(index_t i) const noexcept {
        if (bitmap.size == 0) return true;
        const index_t bit = offset + i;
        return (bitmap[bit >> 3] >> (bit & 7)) & 1;
    }
};

// A string column in Arrow's offsets layout: row i is the bytes
// data[offsets[i] .. offsets[i + 1]) (int32 or int64 offsets, one more than rows).
template <class Offset>
struct StringColumn {
    StridedView<const Offset> offsets;
    const unsigned char* data;
    index_t data_size;
    Validity valid;

    index_t size() const noexcept { return offsets.size - 1; }

    // Row i's bytes; or false, and in `bad` the offset that falls or leaves the data.
    bool read(index_t i, Text& text, index_t& bad) const noexcept {
        const auto start = static_cast<index_t>(offsets[i]), stop = static_cast<index_t>(offsets[i + 1]);
        bad = start < 0 || start > data_size ? i : i + 1;
        if (start < 0 || start > data_size || stop < start || stop > data_size) return false;
        text = {data + start, stop - start};
        return true;
    }
};

// A string column in Arrow's views layout: a 16-byte view per row, an int32
// length and then the string itself when it has at most 12 bytes, else its
// first 4 bytes, the data buffer it lies in and its offset there (int32s).
struct ViewColumn {
    const unsigned char* views;
    index_t rows;
    const Text* buffers;  // the data buffers
    index_t buffer_count;
    Validity valid;

    index_t size() const noexcept { return rows; }

    // Row i's bytes; or false (and i in `bad`) when its view leaves the buffers.
    bool read(index_t i, Text& text, index_t& bad) const noexcept {
        const unsigned char* view = views + 16 * i;
        std::int32_t length, buffer, offset;
        std::memcpy(&length, view, 4);
        std::memcpy(&buffer, view + 8, 4);
        std::memcpy(&offset, view + 12, 4);
        bad = i;
        if (length <= 12) {
            text = {view + 4, length};
            return length >= 0;
        }
        if (buffer < 0 || buffer >= buffer_count || offset < 0 || index_t{offset} + length > buffers[buffer].length)
            return false;
        text = {buffers[buffer].bytes + offset, length};
        return true;
    }
};

namespace detail {

inline std::uint64_t load64(const unsigned char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline std::uint64_t load32(const unsigned char* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// The high and low halves of a 128-bit product, folded.
inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) noexcept {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

inline constexpr std::uint64_t k0 = 0xa0761d6478bd642full, k1 = 0xe7037ed1a0b428dbull;

}  // namespace detail

// A string with its hash and the words it was read into: for up to 16 bytes
// the words and the length tell every byte (equal strings are those with
// equal words), for more the words are the last 16 bytes.
struct HashedText {
    Text text;
    std::uint64_t first_word, last_word, hash;

    // The length and the width in one number.
    index_t shape() const noexcept { return text.length | index_t{text.width} << 56; }

    bool operator==(const HashedText& other) const noexcept {
        return shape() == other.shape() && first_word == other.first_word && last_word == other.last_word &&
               (text.length <= 16 ||
                std::memcmp(text.bytes, other.text.bytes, static_cast<std::size_t>(text.length - 16)) == 0);
    }
};

// Reads the bytes in one or two overlapping reads when they are few (up to
// eight bytes make one word, their value), else eight at a time; a symbol
// costs one multiplication.
inline HashedText hashed(Text text) noexcept {
    using namespace detail;
    const unsigned char* p = text.bytes;
    const auto n = static_cast<std::uint64_t>(text.length);
    std::uint64_t a = 0, b = 0, seed = k0 ^ n ^ std::uint64_t(text.width) << 56;
    if (n <= 8) {
        if (n >= 4)
            a = load32(p) | load32(p + n - 4) << ((n - 4) * 8);
        else if (n > 0)
            a = std::uint64_t{p[0]} | std::uint64_t{p[n >> 1]} << ((n >> 1) * 8) |
                std::uint64_t{p[n - 1]} << ((n - 1) * 8);
    } else if (n <= 16) {
        a = load64(p);
        b = load64(p + n - 8);
    } else {
        std::uint64_t rest = n;
        for (; rest > 16; rest -= 16, p += 16) seed = fold_multiply(load64(p) ^ k1, load64(p + 8) ^ seed);
        a = load64(p + rest - 16);
        b = load64(p + rest - 8);
    }
    return {text, a, b, fold_multiply(a ^ k1, b ^ seed)};
}

// Strings seen so far, each with its code (0, 1, ... in order of first
// appearance) and the row it first appeared on.  Open addressing over a
// power-of-two table kept at most half full (see add), whose slots hold the
// strings' words and shapes: a short string is found with one read of it.
// Throws std::bad_alloc.
class StringTable {
public:
    struct Entry {
        HashedText text;
        index_t first_row;
    };

    StringTable() : slots_(1024, empty) {}

    // The code of `text`, a new one when it was not seen before.
    [[gnu::always_inline]] index_t code_of(const HashedText& text, index_t row) {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t s = text.hash & mask;; s = (s + 1) & mask) {
            const Slot& slot = slots_[s];
            if (slot.first_word == text.first_word && slot.last_word == text.last_word &&
                slot.shape == text.shape() && slot.code >= 0 &&
                (text.text.length <= 16 || entries_[static_cast<std::size_t>(slot.code)].text == text))
                return slot.code;
            if (slot.code < 0) return add(text, row, s);
        }
    }

    const std::vector<Entry>& entries() const noexcept { return entries_; }

private:
    struct alignas(32) Slot {
        std::uint64_t first_word, last_word;
        index_t shape;  // HashedText::shape
        index_t code;   // -1: empty
    };
    static constexpr Slot empty{0, 0, 0, -1};

    // Adds `text` in the empty slot s, then doubles the table if that filled it past its limit.
    index_t add(const HashedText& text, index_t row, std::size_t s) {
        const auto code = static_cast<index_t>(entries_.size());
        entries_.push_back({text, row});
        // A quarter full at most while the table is small enough for the cache
        // (a string is then found at its first slot more often, its search
        // mispredicted less), half full at most beyond.
        const std::size_t fill = slots_.size() <= (std::size_t{1} << 16) ? 4 : 2;
        if (fill * entries_.size() > slots_.size()) {
            std::vector<Slot> slots(2 * slots_.size(), empty);
            slots_.swap(slots);
            for (const Entry& entry : entries_) place(entry, static_cast<index_t>(&entry - entries_.data()));
        } else {
            slots_[s] = {text.first_word, text.last_word, text.shape(), code};
        }
        return code;
    }

    void place(const Entry& entry, index_t code) noexcept {
        const std::size_t mask = slots_.size() - 1;
        std::size_t s = entry.text.hash & mask;
        while (slots_[s].code >= 0) s = (s + 1) & mask;
        slots_[s] = {entry.text.first_word, entry.text.last_word, entry.text.shape(), code};
    }

    std::vector<Slot> slots_;
    std::vector<Entry> entries_;
};

// Numbers rows begin .. end - 1 of a StringColumn or ViewColumn into `codes`
// with `table`.  Returns what the first row that cannot be read gives (the
// offset or view at fault), or -1.  A column that numbers its rows its own
// way (objects.hpp) has a number_rows of the same contract.
template <class Column>
index_t number_rows(const Column& column, index_t begin, index_t end, StringTable& table, std::int64_t* codes) {
    if constexpr (requires { column.number_rows(begin, end, table, codes); }) {
        return column.number_rows(begin, end, table, codes);
    } else {
        for (index_t i = begin; i < end; ++i) {
            Text text;
            index_t bad;
            if (!column.valid(i))
                codes[i] = -1;
            else if (column.read(i, text, bad))
                codes[i] = table.code_of(hashed(text), i);
            else
                return bad;
        }
        return -1;
    }
}

// Numbers every row of `column` into `codes` over up to `threads` threads and
// puts the row each code first appears on in `first_rows`.  Returns the
// offset or view at fault in the first row that cannot be read, or -1 (the
// codes are then complete).  Throws std::bad_alloc.
template <class Column>
index_t string_codes(const Column& column, index_t threads, std::int64_t* codes,
                     std::vector<index_t>& first_rows) {
    const Stretches stretch(column.size(), threads);
    const index_t stretches = stretch.count();
    std::vector<StringTable> tables(static_cast<std::size_t>(stretches));
    std::vector<index_t> bad(static_cast<std::size_t>(stretches), -1);
    run_tasks<NoState>(stretches, threads, [&](index_t p, NoState&) {
        bad[p] = number_rows(column, stretch.begin(p), stretch.end(p), tables[p], codes);
    });
    for (const index_t offset : bad)
        if (offset >= 0) return offset;

    // The first stretch's codes are final; each later one's are looked up in
    // the table of all stretches before it.  A stretch whose strings first
    // appear in the order they did before it (a table in time order whose
    // stretch begins with a bar) already has its final codes: none is given.
    StringTable& all = tables[0];
    std::vector<std::vector<index_t>> final_codes(static_cast<std::size_t>(stretches));
    for (index_t p = 1; p < stretches; ++p) {
        std::vector<index_t>& to = final_codes[p];
        to.reserve(tables[p].entries().size());
        bool same = true;
        for (const StringTable::Entry& entry : tables[p].entries()) {
            const index_t code = all.code_of(entry.text, entry.first_row);
            same &= code == static_cast<index_t>(to.size());
            to.push_back(code);
        }
        if (same) to.clear();
    }
    // The later stretches' rows rewritten in pieces, so that every thread
    // takes a share even when they are only two stretches.
    constexpr index_t piece = 1 << 16;
    const bool rewrite = std::any_of(final_codes.begin(), final_codes.end(),
                                     [](const std::vector<index_t>& to) { return !to.empty(); });
    const index_t first = stretch.begin(1), pieces = rewrite ? (column.size() - first + piece - 1) / piece : 0;
    run_tasks<NoState>(pieces, threads, [&](index_t k, NoState&) {
        const index_t begin = first + k * piece, end = std::min(column.size(), begin + piece);
        for (index_t p = 1; p < stretches; ++p) {
            const std::vector<index_t>& to = final_codes[p];
            if (to.empty()) continue;  // final already
            for (index_t i = std::max(begin, stretch.begin(p)), stop = std::min(end, stretch.end(p)); i < stop; ++i)
                if (codes[i] >= 0) codes[i] = to[static_cast<std::size_t>(codes[i])];
        }
    });

    first_rows.resize(all.entries().size());
    std::transform(all.entries().begin(), all.entries().end(), first_rows.begin(),
                   [](const StringTable::Entry& entry) { return entry.first_row; });
    return -1;
}

}  // namespace ornivex::grouped
