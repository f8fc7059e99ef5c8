// The event sums of the exact shape gradient, eight or four events at a
// time: per event the mixture density and w_e / d_e, and sums of products
// a_e b_e into an EventSum. Every lane does the same operations in the same
// order in every path (AVX-512, AVX2, one event at a time), so the paths give
// the same bits; the widest that the batched logarithm uses here is taken.
#pragma once

#include <cstddef>
#include <span>

#include "fit/likelihood/event_sum.h"

namespace tarnwex {

// For i < n, events first + i: d = sum_k yields[k] columns[k][first + i]
// (products, then sums in component order), inverse[i] = 1 / d and
// weighted[i] = w / d (w = 1 without weights) where d is above the density
// floor, both 0 elsewhere.
void inverse_densities(std::span<const std::span<const double>> columns,
                       std::span<const double> yields, std::span<const double> weights,
                       std::size_t first, std::size_t n, double* inverse, double* weighted);

// sum.add(first + i, a[i] * b[i]) for i < n; `first` a multiple of the
// sum's lane count.
void add_products(EventSum& sum, const double* a, const double* b, std::size_t first,
                  std::size_t n);

}  // namespace tarnwex
