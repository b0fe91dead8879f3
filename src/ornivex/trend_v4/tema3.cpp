// tema3(source, length): 3·(E1 − E3) + 3·(E3 − E4) + E4 over four chained ema2
// stages.
//
// While the module-level `ema2` and `ewma` are the module's own functions, `np`
// is the numpy bound at import and `source` is a plain ndarray, nobody can
// tell how the stages are obtained, so the four recursions run fused in one
// native pass.  Otherwise every stage is a call through the name `ema2`,
// looked up at the moment of the call, and the combination is done with the
// objects' own arithmetic, so a rebinding or a subclass sees exactly the
// eleven calls and six array operations of the composition.
#include <Python.h>

#include "ornivex/common/args.hpp"
#include "ornivex/common/buffer.hpp"
#include "ornivex/common/convert.hpp"
#include "ornivex/common/errors.hpp"
#include "ornivex/common/numpy_api.hpp"
#include "ornivex/common/numpy_calls.hpp"
#include "ornivex/common/runtime.hpp"
#include "ornivex/kernels/averages/tema3.hpp"
#include "ornivex/trend_v4/functions.hpp"
#include "ornivex/trend_v4/names.hpp"

namespace ornivex::trend {

namespace {

bool stages_are_native(PyObject* source) {
    const OwnFunctions& own = own_functions();
    return global_is(trend_names().ema2, own.ema2) && global_is(trend_names().ewma, own.ewma) && numpy_is_pristine() &&
           is_plain_ndarray(source);
}

Owned fused_tema3(const ArrayView& source, double length) {
    const Py_ssize_t n = source.size();
    Promotion promotion;
    if (!current_promotion(promotion)) return Owned();
    ArrayLocal result(float32_element, /*writable=*/true);
    Owned allocated = numpy_new_array(names().empty, n, trend_names().float32);
    if (!allocated || !result.assign(std::move(allocated))) return Owned();
    if (result.size() < n) return err::result_too_short("tema3", "np.empty", result.object(), n);
    StridedView<float> out = result.view().write<float>();
    out.size = n;
    if (promotion == Promotion::weak_float32) {
        tema3<Promotion::weak_float32>(source.read<float>(), out, length);
    } else {
        tema3<Promotion::legacy_double>(source.read<float>(), out, length);
    }
    return result.take();
}

// `depth` ema2 stages applied to `first` through the module-level name: the
// callees are looked up first, outermost first (as `ema2(ema2(x, length),
// length)` evaluates), then called innermost first.
Owned nested_ema2(PyObject* first, int depth, double length) {
    Owned callees[3];
    for (int k = 0; k < depth; ++k) {
        callees[k] = lookup_global(trend_names().ema2);
        if (!callees[k]) return Owned();
    }
    Owned stage = Owned::incref(first);
    for (int k = depth - 1; k >= 0; --k) {
        Owned length_object = Owned::steal(PyFloat_FromDouble(length));
        if (!length_object) return Owned();
        PyObject* args[] = {stage.get(), length_object.get()};
        stage = Owned::steal(PyObject_Vectorcall(callees[k].get(), args, 2, nullptr));
        if (!stage) return Owned();
    }
    return stage;
}

// 3 * (a - b), the int 3 on the left as the composition writes it.
Owned three_times_difference(PyObject* a, PyObject* b) {
    Owned difference = Owned::steal(PyNumber_Subtract(a, b));
    if (!difference) return Owned();
    return Owned::steal(PyNumber_Multiply(runtime().int_3, difference.get()));
}

bool assign(ArrayLocal& local, Owned value) { return value && local.assign(std::move(value)); }

Owned composed_tema3(PyObject* source, double length) {
    ArrayLocal ema2_result(float32_element, false), term1(float32_element, false), term2(float32_element, false),
        term3(float32_element, false);

    if (!assign(ema2_result, nested_ema2(source, 1, length))) return Owned();
    PyObject* e1 = ema2_result.object();
    {
        Owned e3 = nested_ema2(e1, 2, length);
        if (!e3 || !assign(term1, three_times_difference(e1, e3.get()))) return Owned();
    }
    {
        Owned e3 = nested_ema2(e1, 2, length);
        if (!e3) return Owned();
        Owned e4 = nested_ema2(e1, 3, length);
        if (!e4 || !assign(term2, three_times_difference(e3.get(), e4.get()))) return Owned();
    }
    if (!assign(term3, nested_ema2(e1, 3, length))) return Owned();

    Owned partial = Owned::steal(PyNumber_Add(term1.object(), term2.object()));
    if (!partial) return Owned();
    return Owned::steal(PyNumber_Add(partial.get(), term3.object()));
}

}  // namespace

const Signature& tema3_signature() {
    static PyObject* const params[] = {trend_names().source, trend_names().length};
    static const Signature signature{"tema3", 2, 2, params};
    return signature;
}

Owned tema3_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* bound[2];
    if (!bind_arguments(tema3_signature(), args, nargsf, kwnames, bound)) return Owned();
    const auto length = to_double(bound[1]);
    if (!length || !check_array_argument("source", bound[0])) return Owned();
    ArrayView source;  // validates `source`; read only by the fused pass
    if (!source.acquire(bound[0], float32_element)) return Owned();
    return stages_are_native(bound[0]) ? fused_tema3(source, *length) : composed_tema3(bound[0], *length);
}

}  // namespace ornivex::trend
