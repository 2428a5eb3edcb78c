// Google Benchmark over the five workloads, for each instruction set's
// kernels and for the exported, dispatched entry point. Reports ns per
// sample (rays x samples).
#include <benchmark/benchmark.h>

#include <cstdio>

#include "dispatch.h"
#include "pupil_radial.h"
#include "radial_search.h"
#include "workloads.h"

namespace {

const char* isa_name(pupil::Isa isa) {
  return pupil::ray_functions_for(isa).name;
}

void set_counters(benchmark::State& state, const Scene& s, int32_t found) {
  state.counters["ns_per_sample"] =
      benchmark::Counter(double(s.w->rays) * s.w->samples * 1e-9,
                         benchmark::Counter::kIsIterationInvariantRate |
                             benchmark::Counter::kInvert);
  state.counters["found"] = found;
}

void run_path(benchmark::State& state, const Workload* w, pupil::Isa isa) {
  if (!pupil::cpu_supports(isa)) {
    state.SkipWithError("this CPU lacks the instruction set");
    return;
  }
  Scene s = make_scene(*w);
  const pupil::RayFunctions kernels = pupil::ray_functions_for(isa);
  int32_t found = 0;
  for (auto _ : state) {
    found = pupil::radial_search(kernels, s.gx.data(), s.gy.data(), w->rows,
                                 w->cols, s.cx, s.cy, w->rays, s.rmin.data(),
                                 s.rmax.data(), w->samples, s.kernel.data(),
                                 w->taps, s.out.data());
    benchmark::DoNotOptimize(s.out.data());
  }
  set_counters(state, s, found);
}

void run_dispatched(benchmark::State& state, const Workload* w) {
  Scene s = make_scene(*w);
  int32_t found = 0;
  for (auto _ : state) {
    found = pupil_guided_radial_search(s.gx.data(), s.gy.data(), w->rows,
                                       w->cols, s.cx, s.cy, w->rays,
                                       s.rmin.data(), s.rmax.data(), w->samples,
                                       s.kernel.data(), w->taps, s.out.data());
    benchmark::DoNotOptimize(s.out.data());
  }
  set_counters(state, s, found);
}

}  // namespace

int main(int argc, char** argv) {
  for (const Workload& w : workloads()) {
    for (pupil::Isa isa : pupil::kIsas) {
      benchmark::RegisterBenchmark((w.name + "/" + isa_name(isa)).c_str(),
                                   run_path, &w, isa)
          ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark((w.name + "/dispatched").c_str(),
                                 run_dispatched, &w)
        ->Unit(benchmark::kMicrosecond);
  }
  for (const Workload& w : scaling_workloads()) {
    for (pupil::Isa isa : pupil::kIsas) {
      benchmark::RegisterBenchmark((w.name + "/" + isa_name(isa)).c_str(),
                                   run_path, &w, isa)
          ->Unit(benchmark::kMicrosecond);
    }
  }
  std::fprintf(stderr, "dispatched kernels: %s\n",
               pupil::select_ray_functions().name);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
