// Running a built graph: one operation, or one audio frame through the whole graph.
#pragma once

#include <span>
#include <vector>

#include "../lib/clean_error.h"
#include "graph.h"
#include "kernels.h"
#include "result.h"

namespace wd {

// Evaluates one operation on its inputs (null for an absent input). Used both for
// folding at load time and for every frame, so both compute identically. expiring,
// when given, is inputs[0] and nothing reads it after this operation: a kernel whose
// result has X's values or is computed from them place by place may take X's data
// over for it instead of copying it or allocating anew, leaving X without data (and
// only when it succeeds). No result depends on whether it does.
Result<Outputs> evaluate_op(const OpKind& kind, Inputs inputs, Tensor* expiring = nullptr);

// Runs every operation of the graph once for one frame. spectrum holds 322 values
// (161 bins, real and imaginary). The state vector is taken over; on success it
// holds "state_out" and the result is "spec_e"; on failure it is left empty.
Result<std::vector<float>, CleanError> model_step(const Graph& graph,
                                                  uint64_t expected_state_length,
                                                  std::span<const float> spectrum,
                                                  std::vector<float>& state);

}  // namespace wd
