// The engine under the high-level interpolator: one built interpolant, one-
// or N-dimensional, evaluated on worker threads.
//
// It computes exactly what Interpolant1D and InterpolantND compute, with the
// same evaluators: the points are cut into contiguous pieces that the threads
// take in turn, each piece writing its own slice of the result, so that every
// point gets the same operations (and bits) however the work is split.  The
// binding layer calls it without the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "array.hpp"
#include "coefficients.hpp"
#include "dispatch.hpp"
#include "interpolant.hpp"
#include "interpolant_nd.hpp"
#include "result.hpp"

namespace quorvel {

class Interpolant {
public:
    // One knot vector per axis: a single one builds the one-dimensional
    // interpolant, more the N-dimensional one.  The values have one axis per
    // knot vector and then any number of value axes, whose entries (fields)
    // are interpolated side by side.  Large data are extended on up to
    // `workers` threads.
    static Result<Interpolant> create(std::span<const ArrayView> knots, const ArrayView& values,
                                      std::string_view kernel, std::span<const BoundaryNames> bcs,
                                      std::span<const std::int32_t> orders, std::size_t workers);

    // The values (or derivatives, `orders`) of the interpolant `create` would
    // build, on the product of `coordinates` as `on_grid` gives them, bit for
    // bit.  Data of two or more axes at orders of values or derivatives are
    // never copied whole: the product reads them slab by slab along axis 0,
    // each extended as it is read.
    static Result<NdBuffer> regrid(std::span<const ArrayView> knots, const ArrayView& values,
                                   std::string_view kernel, std::span<const BoundaryNames> bcs,
                                   std::span<const std::int32_t> orders, std::span<const ArrayView> coordinates,
                                   RangeMode mode, std::size_t workers);

    // The same data at other derivative orders, sharing the extended data.
    Result<Interpolant> with_orders(std::span<const std::int32_t> orders, std::size_t workers) const;

    // The values at `points`: one coordinate per point in one dimension (a
    // 1-D array), a row of ndim() coordinates per point otherwise.  The result
    // has shape (number of points, value axes...).
    Result<NdBuffer> evaluate(const ArrayView& points, RangeMode mode, std::size_t workers) const;
    // The same values written to `out`, which must hold exactly as many (a
    // point outside the range may leave some written).
    Status evaluate(const ArrayView& points, RangeMode mode, std::size_t workers, std::span<double> out) const;

    // The values on the product of one vector of coordinates per axis, shape
    // (lengths of the vectors..., value axes...): a coordinate outside the
    // range gives what `mode` says for every value it takes part in ("raise"
    // reports the first, axis by axis).  Values and derivatives are contracted
    // axis by axis; antiderivatives and "a0" are evaluated point by point.
    Result<NdBuffer> on_grid(std::span<const ArrayView> coordinates, RangeMode mode, std::size_t workers) const;
    // The same values written to `out`, which must hold exactly as many.
    Status on_grid(std::span<const ArrayView> coordinates, RangeMode mode, std::size_t workers,
                   std::span<double> out) const;

    // The first derivatives along every axis (degree 1, the gradient) or the
    // second ones (degree 2, the Hessian) of this interpolant at `points`,
    // shape (number of points, value axes..., ndim) or (..., ndim, ndim);
    // each component has the bits of the interpolant of that derivative.
    Result<NdBuffer> derivatives(const ArrayView& points, unsigned degree, RangeMode mode, std::size_t workers) const;

    // The integral over the interval (one dimension) or axis-aligned box from
    // `lower` to `upper`, one bound per axis each, shape (value axes...), of
    // an interpolant of values or derivatives (integration.hpp).  Bounds
    // outside the data range give what `mode` says: the first refused (the
    // lower bounds first, axis by axis), NaN, or the nearest end.
    Result<NdBuffer> integrate(const ArrayView& lower, const ArrayView& upper, RangeMode mode) const;

    std::size_t ndim() const;

    // The data as given, read back from the interior of the extended
    // coefficients (which hold them unchanged): `count` values (fields
    // included) from element `offset`, with element strides.
    struct Data {
        std::shared_ptr<const Buffer> storage;
        std::size_t offset = 0;
        std::vector<std::size_t> shape;
        std::vector<std::ptrdiff_t> strides;
    };
    Data data() const;

private:
    using Kind = std::variant<Interpolant1D, InterpolantND>;
    Interpolant(Kind f, std::vector<std::size_t> value_shape, std::vector<std::int32_t> orders)
        : f_(std::move(f)), value_shape_(std::move(value_shape)), orders_(std::move(orders)) {}

    static Result<Interpolant> create(std::span<const ArrayView> knots, const ArrayView& values,
                                      std::string_view kernel, std::span<const BoundaryNames> bcs,
                                      std::span<const std::int32_t> orders, std::size_t workers, bool hold_data);
    // The values of one point: the product of the value axes.
    std::size_t fields() const;
    // on_grid, the coefficients made by `slabs` when the interpolant holds none.
    Result<NdBuffer> on_grid(std::span<const ArrayView> coordinates, RangeMode mode, std::size_t workers,
                             const ExtendedSlabs* slabs) const;
    // The shape of the values on the product of `coordinates`, checked.
    Result<std::vector<std::size_t>> product_shape(std::span<const ArrayView> coordinates) const;
    // The values on the product into `out`, of product_shape's size.
    Status on_grid(std::span<const ArrayView> coordinates, RangeMode mode, std::size_t workers,
                   const ExtendedSlabs* slabs, double* out) const;

    Kind f_;
    std::vector<std::size_t> value_shape_;
    std::vector<std::int32_t> orders_;
};

}  // namespace quorvel
