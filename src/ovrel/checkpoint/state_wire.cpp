#include "ovrel/checkpoint/state_wire.hpp"

#include <array>
#include <cmath>
#include <optional>
#include <variant>

#include "ovrel/checkpoint/bincode.hpp"
#include "ovrel/core/text.hpp"

namespace ovrel::checkpoint {

using core::cat;
using core::JsonNode;
using online::AlertGateState;
using online::AlertPolicy;
using online::BernoulliStats;
using online::BocpdState;
using online::CusumState;
using online::GaussianStats;
using online::kBaselineAlertPolicy;
using online::LateDataCounters;
using online::ObservationStats;
using online::PageHinkleyState;
using online::PendingEvent;
using online::PendingEvents;
using online::PoissonStats;

// ---------------------------------------------------------------------------------------------
// JSON writing

namespace {

class JsonWriter {
 public:
  JsonWriter() { out_.reserve(256); }

  void begin() { open('{'); }
  void end() { close('}'); }
  void begin_list() { open('['); }
  void end_list() { close(']'); }

  void key(std::string_view name) {
    separate();
    core::append_json_string(out_, name);
    out_.push_back(':');
    fresh_ = true;
  }
  void u64(std::uint64_t v) {
    separate();
    out_.append(std::to_string(v));
  }
  void i64(std::int64_t v) {
    separate();
    out_.append(std::to_string(v));
  }
  void boolean(bool v) {
    separate();
    out_.append(v ? "true" : "false");
  }
  void null() {
    separate();
    out_.append("null");
  }
  // `field` names the value in the refusal of a non-finite double.
  void f64(double v, std::string_view field) {
    separate();
    if (!std::isfinite(v) && !fault_) {
      fault_ = cat("`", field, "` holds ", core::plain(v), ", which json cannot carry");
    }
    core::append_json_f64(out_, v);
  }

  Result<std::string> finish() && {
    if (fault_) return core::invalid_input(std::move(*fault_));
    return std::move(out_);
  }

 private:
  void open(char c) {
    separate();
    out_.push_back(c);
    fresh_ = true;
  }
  void close(char c) {
    out_.push_back(c);
    fresh_ = false;
  }
  // A comma before every value or key but the first of its object or array.
  void separate() {
    if (!fresh_) out_.push_back(',');
    fresh_ = false;
  }

  std::string out_;
  bool fresh_ = true;
  std::optional<std::string> fault_;
};

void write_json(JsonWriter& w, const LateDataCounters& c) {
  w.begin();
  w.key("late_events");
  w.u64(c.late_events);
  w.key("buffered_events");
  w.u64(c.buffered_events);
  w.key("reordered_events");
  w.u64(c.reordered_events);
  w.key("dropped_oldest");
  w.u64(c.dropped_oldest);
  w.key("dropped_newest");
  w.u64(c.dropped_newest);
  w.key("overflow_errors");
  w.u64(c.overflow_errors);
  w.end();
}

void write_json(JsonWriter& w, const AlertGateState& gate) {
  w.begin();
  w.key("policy");
  w.begin();
  w.key("threshold");
  w.f64(gate.policy.threshold, "threshold");
  w.key("hysteresis");
  w.f64(gate.policy.hysteresis, "hysteresis");
  w.key("cooldown_steps");
  w.u64(gate.policy.cooldown_steps);
  w.key("min_run_length");
  w.u64(gate.policy.min_run_length);
  w.end();
  w.key("armed");
  w.boolean(gate.armed);
  w.key("last_alert_t");
  if (gate.last_alert_t) {
    w.u64(*gate.last_alert_t);
  } else {
    w.null();
  }
  w.end();
}

void write_json(JsonWriter& w, const PendingEvents& events) {
  w.begin_list();
  for (const PendingEvent& e : events) {
    w.begin();
    w.key("x");
    w.f64(e.x, "pending_events");
    w.key("t_ns");
    w.i64(e.t_ns);
    w.key("arrival_seq");
    w.u64(e.arrival_seq);
    w.end();
  }
  w.end_list();
}

void write_json(JsonWriter& w, const ObservationStats& stats) {
  w.begin();
  if (const auto* g = std::get_if<GaussianStats>(&stats)) {
    w.key("Gaussian");
    w.begin();
    w.key("n");
    w.u64(g->n);
    w.key("sum");
    w.f64(g->sum, "run_stats");
    w.key("sum_sq");
    w.f64(g->sum_sq, "run_stats");
  } else if (const auto* p = std::get_if<PoissonStats>(&stats)) {
    w.key("Poisson");
    w.begin();
    w.key("n");
    w.u64(p->n);
    w.key("sum");
    w.u64(p->sum);
  } else {
    const auto& b = std::get<BernoulliStats>(stats);
    w.key("Bernoulli");
    w.begin();
    w.key("n");
    w.u64(b.n);
    w.key("ones");
    w.u64(b.ones);
  }
  w.end();
  w.end();
}

// The fields every state opens with.
template <class S>
void write_json_head(JsonWriter& w, const S& s) {
  w.key("t");
  w.u64(s.t);
  w.key("watermark_ns");
  if (s.watermark_ns) {
    w.i64(*s.watermark_ns);
  } else {
    w.null();
  }
  w.key("late_data");
  write_json(w, s.late_data);
}

// ... and close with.
template <class S>
void write_json_tail(JsonWriter& w, const S& s) {
  w.key("pending_events");
  write_json(w, s.pending_events);
  w.key("next_arrival_seq");
  w.u64(s.next_arrival_seq);
  w.key("alert_gate");
  write_json(w, s.alert_gate);
}

}  // namespace

Result<std::string> state_to_json(const BocpdState& s) {
  JsonWriter w;
  w.begin();
  write_json_head(w, s);
  w.key("log_run_probs");
  w.begin_list();
  for (double v : s.log_run_probs) w.f64(v, "log_run_probs");
  w.end_list();
  w.key("run_stats");
  w.begin_list();
  for (const ObservationStats& stats : s.run_stats) write_json(w, stats);
  w.end_list();
  write_json_tail(w, s);
  w.end();
  return std::move(w).finish();
}

Result<std::string> state_to_json(const CusumState& s) {
  JsonWriter w;
  w.begin();
  write_json_head(w, s);
  w.key("score");
  w.f64(s.score, "score");
  w.key("steps_since_alert");
  w.u64(s.steps_since_alert);
  write_json_tail(w, s);
  w.end();
  return std::move(w).finish();
}

Result<std::string> state_to_json(const PageHinkleyState& s) {
  JsonWriter w;
  w.begin();
  write_json_head(w, s);
  w.key("n");
  w.u64(s.n);
  w.key("running_mean");
  w.f64(s.running_mean, "running_mean");
  w.key("cumulative_sum");
  w.f64(s.cumulative_sum, "cumulative_sum");
  w.key("cumulative_min");
  w.f64(s.cumulative_min, "cumulative_min");
  w.key("steps_since_alert");
  w.u64(s.steps_since_alert);
  write_json_tail(w, s);
  w.end();
  return std::move(w).finish();
}

// ---------------------------------------------------------------------------------------------
// JSON reading

namespace {

using core::json::Field;
using core::json::kOptional;
using core::json::kRequired;
using core::json::Positional;
using core::json::read_f64;
using core::json::read_i64;
using core::json::read_into;
using core::json::read_optional_of;
using core::json::read_u64;
using Kind = JsonNode::Kind;

template <class Out, std::size_t N>
Result<Out> read_record(const JsonNode& node, std::string_view type_name,
                        const std::array<Field<Out>, N>& fields, Out initial,
                        Positional positional) {
  OVREL_TRY(core::json::read_fields(node, type_name, fields, initial, nullptr, positional));
  return initial;
}

using C = LateDataCounters;
constexpr std::array<Field<C>, 6> kCounterFields = {{
    {"late_events", kRequired, read_into<&C::late_events, read_u64>},
    {"buffered_events", kRequired, read_into<&C::buffered_events, read_u64>},
    {"reordered_events", kRequired, read_into<&C::reordered_events, read_u64>},
    {"dropped_oldest", kRequired, read_into<&C::dropped_oldest, read_u64>},
    {"dropped_newest", kRequired, read_into<&C::dropped_newest, read_u64>},
    {"overflow_errors", kRequired, read_into<&C::overflow_errors, read_u64>},
}};

Result<LateDataCounters> read_counters(const JsonNode& node) {
  return read_record(node, "struct LateDataCounters", kCounterFields, C{}, Positional::AllRequired);
}

constexpr std::array<Field<AlertPolicy>, 4> kPolicyFields = {{
    {"threshold", kRequired, read_into<&AlertPolicy::threshold, read_f64>},
    {"hysteresis", kRequired, read_into<&AlertPolicy::hysteresis, read_f64>},
    {"cooldown_steps", kRequired, read_into<&AlertPolicy::cooldown_steps, read_u64>},
    {"min_run_length", kRequired, read_into<&AlertPolicy::min_run_length, read_u64>},
}};

Result<AlertPolicy> read_policy(const JsonNode& node) {
  return read_record(node, "struct AlertPolicy", kPolicyFields, AlertPolicy{},
                     Positional::AllRequired);
}

constexpr std::array<Field<AlertGateState>, 3> kGateFields = {{
    {"policy", kRequired, read_into<&AlertGateState::policy, read_policy>},
    {"armed", kRequired, read_into<&AlertGateState::armed, core::json::read_bool>},
    {"last_alert_t", kOptional,
     read_into<&AlertGateState::last_alert_t, read_optional_of<read_u64>>},
}};

Result<AlertGateState> read_gate(const JsonNode& node) {
  return read_record(node, "struct AlertGateState", kGateFields, AlertGateState{},
                     Positional::AllRequired);
}

constexpr std::array<Field<PendingEvent>, 3> kPendingFields = {{
    {"x", kRequired, read_into<&PendingEvent::x, read_f64>},
    {"t_ns", kRequired, read_into<&PendingEvent::t_ns, read_i64>},
    {"arrival_seq", kRequired, read_into<&PendingEvent::arrival_seq, read_u64>},
}};

Result<PendingEvent> read_pending(const JsonNode& node) {
  return read_record(node, "struct PendingEvent", kPendingFields, PendingEvent{},
                     Positional::AllRequired);
}

Result<std::vector<PendingEvent>> read_pending_list(const JsonNode& node) {
  return core::json::read_list<PendingEvent>(node, read_pending);
}

Result<std::vector<double>> read_f64_list(const JsonNode& node) {
  return core::json::read_list<double>(node, read_f64);
}

constexpr std::array<Field<GaussianStats>, 3> kGaussianFields = {{
    {"n", kRequired, read_into<&GaussianStats::n, read_u64>},
    {"sum", kRequired, read_into<&GaussianStats::sum, read_f64>},
    {"sum_sq", kRequired, read_into<&GaussianStats::sum_sq, read_f64>},
}};
constexpr std::array<Field<PoissonStats>, 2> kPoissonFields = {{
    {"n", kRequired, read_into<&PoissonStats::n, read_u64>},
    {"sum", kRequired, read_into<&PoissonStats::sum, read_u64>},
}};
constexpr std::array<Field<BernoulliStats>, 2> kBernoulliFields = {{
    {"n", kRequired, read_into<&BernoulliStats::n, read_u64>},
    {"ones", kRequired, read_into<&BernoulliStats::ones, read_u64>},
}};

constexpr std::array<std::string_view, 3> kStatsVariants = {"Gaussian", "Poisson", "Bernoulli"};

// Externally tagged: {"Gaussian":{...}}; every variant carries fields, so a bare name is refused.
Result<ObservationStats> read_stats(const JsonNode& node) {
  auto unknown = [](std::string_view name, core::JsonPosition at) {
    return core::json::fail_at(
        cat("unknown variant `", name, "`, expected one of `Gaussian`, `Poisson`, `Bernoulli`"),
        at);
  };
  if (node.kind == Kind::String) {
    for (std::string_view v : kStatsVariants) {
      if (node.text == v) {
        return core::json::fail_at("invalid type: unit variant, expected struct variant",
                                   node.position);
      }
    }
    return unknown(node.text, node.end);
  }
  if (node.kind != Kind::Object) return core::json::invalid_type(node, "enum ObservationStats");
  if (core::json::member_count(node) != 1) {
    return core::json::fail_at("invalid value: map, expected map with a single key", node.position);
  }
  ObservationStats out;
  OVREL_TRY(core::json::for_each_member(node, [&](const core::JsonMember& m) -> Status {
    constexpr auto kTail = Positional::AllRequired;
    if (m.key == kStatsVariants[0]) {
      OVREL_TRY_ASSIGN(out, read_record(m.value, "struct variant ObservationStats::Gaussian",
                                        kGaussianFields, GaussianStats{}, kTail));
      return {};
    }
    if (m.key == kStatsVariants[1]) {
      OVREL_TRY_ASSIGN(out, read_record(m.value, "struct variant ObservationStats::Poisson",
                                        kPoissonFields, PoissonStats{}, kTail));
      return {};
    }
    if (m.key == kStatsVariants[2]) {
      OVREL_TRY_ASSIGN(out, read_record(m.value, "struct variant ObservationStats::Bernoulli",
                                        kBernoulliFields, BernoulliStats{}, kTail));
      return {};
    }
    return unknown(m.key, m.key_end);
  }));
  return out;
}

Result<std::vector<ObservationStats>> read_stats_list(const JsonNode& node) {
  return core::json::read_list<ObservationStats>(node, read_stats);
}

using B = BocpdState;
constexpr std::array<Field<B>, 8> kBocpdFields = {{
    {"t", kRequired, read_into<&B::t, read_u64>},
    {"watermark_ns", kOptional, read_into<&B::watermark_ns, read_optional_of<read_i64>>},
    {"late_data", kOptional, read_into<&B::late_data, read_counters>},
    {"log_run_probs", kRequired, read_into<&B::log_run_probs, read_f64_list>},
    {"run_stats", kRequired, read_into<&B::run_stats, read_stats_list>},
    {"pending_events", kOptional, read_into<&B::pending_events, read_pending_list>},
    {"next_arrival_seq", kOptional, read_into<&B::next_arrival_seq, read_u64>},
    {"alert_gate", kOptional, read_into<&B::alert_gate, read_gate>},
}};

using CS = CusumState;
constexpr std::array<Field<CS>, 8> kCusumFields = {{
    {"t", kRequired, read_into<&CS::t, read_u64>},
    {"watermark_ns", kOptional, read_into<&CS::watermark_ns, read_optional_of<read_i64>>},
    {"late_data", kOptional, read_into<&CS::late_data, read_counters>},
    {"score", kRequired, read_into<&CS::score, read_f64>},
    {"steps_since_alert", kRequired, read_into<&CS::steps_since_alert, read_u64>},
    {"pending_events", kOptional, read_into<&CS::pending_events, read_pending_list>},
    {"next_arrival_seq", kOptional, read_into<&CS::next_arrival_seq, read_u64>},
    {"alert_gate", kOptional, read_into<&CS::alert_gate, read_gate>},
}};

using PH = PageHinkleyState;
constexpr std::array<Field<PH>, 11> kPageHinkleyFields = {{
    {"t", kRequired, read_into<&PH::t, read_u64>},
    {"watermark_ns", kOptional, read_into<&PH::watermark_ns, read_optional_of<read_i64>>},
    {"late_data", kOptional, read_into<&PH::late_data, read_counters>},
    {"n", kRequired, read_into<&PH::n, read_u64>},
    {"running_mean", kRequired, read_into<&PH::running_mean, read_f64>},
    {"cumulative_sum", kRequired, read_into<&PH::cumulative_sum, read_f64>},
    {"cumulative_min", kRequired, read_into<&PH::cumulative_min, read_f64>},
    {"steps_since_alert", kRequired, read_into<&PH::steps_since_alert, read_u64>},
    {"pending_events", kOptional, read_into<&PH::pending_events, read_pending_list>},
    {"next_arrival_seq", kOptional, read_into<&PH::next_arrival_seq, read_u64>},
    {"alert_gate", kOptional, read_into<&PH::alert_gate, read_gate>},
}};

}  // namespace

Result<BocpdState> bocpd_state_from_json(const JsonNode& node) {
  BocpdState initial;
  initial.alert_gate = AlertGateState::fresh(AlertPolicy{});
  return read_record(node, "struct BocpdState", kBocpdFields, std::move(initial),
                     Positional::TrailingOptional);
}

Result<CusumState> cusum_state_from_json(const JsonNode& node) {
  CusumState initial;
  initial.alert_gate = AlertGateState::fresh(kBaselineAlertPolicy);
  return read_record(node, "struct CusumState", kCusumFields, std::move(initial),
                     Positional::TrailingOptional);
}

Result<PageHinkleyState> page_hinkley_state_from_json(const JsonNode& node) {
  PageHinkleyState initial;
  initial.alert_gate = AlertGateState::fresh(kBaselineAlertPolicy);
  return read_record(node, "struct PageHinkleyState", kPageHinkleyFields, std::move(initial),
                     Positional::TrailingOptional);
}

// ---------------------------------------------------------------------------------------------
// bincode

namespace {

constexpr std::size_t kCountersSize = 6 * 8;
constexpr std::size_t kPendingSize = 8 + 8 + 8;
constexpr std::size_t kGateSizeWithout = 4 * 8 + 1 + 1;
constexpr std::size_t kSmallestStatsSize = 4 + 8 + 8;

std::size_t stats_size(const ObservationStats& s) {
  return std::holds_alternative<GaussianStats>(s) ? 4 + 8 + 8 + 8 : kSmallestStatsSize;
}

template <class S>
std::size_t head_tail_size(const S& s) {
  return 8 + 1 + (s.watermark_ns ? 8 : 0) + kCountersSize + 8 +
         kPendingSize * s.pending_events.size() + 8 + kGateSizeWithout +
         (s.alert_gate.last_alert_t ? 8 : 0);
}

template <class S>
void write_head(bincode::Writer& w, const S& s) {
  w.u64(s.t);
  w.option(s.watermark_ns, [&](std::int64_t v) { w.i64(v); });
  const LateDataCounters& c = s.late_data;
  for (std::uint64_t v : {c.late_events, c.buffered_events, c.reordered_events, c.dropped_oldest,
                          c.dropped_newest, c.overflow_errors}) {
    w.u64(v);
  }
}

template <class S>
void write_tail(bincode::Writer& w, const S& s) {
  w.count(s.pending_events.size());
  for (const PendingEvent& e : s.pending_events) {
    w.f64(e.x);
    w.i64(e.t_ns);
    w.u64(e.arrival_seq);
  }
  w.u64(s.next_arrival_seq);
  const AlertGateState& g = s.alert_gate;
  w.f64(g.policy.threshold);
  w.f64(g.policy.hysteresis);
  w.u64(g.policy.cooldown_steps);
  w.u64(g.policy.min_run_length);
  w.boolean(g.armed);
  w.option(g.last_alert_t, [&](std::uint64_t v) { w.u64(v); });
}

template <class S>
Status read_head(bincode::Reader& r, S& s) {
  OVREL_TRY_ASSIGN(s.t, r.u64());
  OVREL_TRY_ASSIGN(bool has_watermark, r.option_tag());
  if (has_watermark) {
    OVREL_TRY_ASSIGN(s.watermark_ns, r.i64());
  }
  LateDataCounters& c = s.late_data;
  for (std::uint64_t* v : {&c.late_events, &c.buffered_events, &c.reordered_events,
                           &c.dropped_oldest, &c.dropped_newest, &c.overflow_errors}) {
    OVREL_TRY_ASSIGN(*v, r.u64());
  }
  return {};
}

template <class S>
Status read_tail(bincode::Reader& r, S& s) {
  OVREL_TRY_ASSIGN(std::size_t pending, r.count(kPendingSize));
  std::vector<PendingEvent> events(pending);
  for (PendingEvent& e : events) {
    OVREL_TRY_ASSIGN(e.x, r.f64());
    OVREL_TRY_ASSIGN(e.t_ns, r.i64());
    OVREL_TRY_ASSIGN(e.arrival_seq, r.u64());
  }
  s.pending_events = std::move(events);
  OVREL_TRY_ASSIGN(s.next_arrival_seq, r.u64());
  AlertGateState& g = s.alert_gate;
  OVREL_TRY_ASSIGN(g.policy.threshold, r.f64());
  OVREL_TRY_ASSIGN(g.policy.hysteresis, r.f64());
  OVREL_TRY_ASSIGN(g.policy.cooldown_steps, r.u64());
  OVREL_TRY_ASSIGN(g.policy.min_run_length, r.u64());
  OVREL_TRY_ASSIGN(g.armed, r.boolean());
  OVREL_TRY_ASSIGN(bool has_last, r.option_tag());
  g.last_alert_t.reset();
  if (has_last) {
    OVREL_TRY_ASSIGN(g.last_alert_t, r.u64());
  }
  return {};
}

Result<ObservationStats> read_stats(bincode::Reader& r) {
  OVREL_TRY_ASSIGN(std::uint32_t index, r.u32());
  switch (index) {
    case 0: {
      GaussianStats g;
      OVREL_TRY_ASSIGN(g.n, r.u64());
      OVREL_TRY_ASSIGN(g.sum, r.f64());
      OVREL_TRY_ASSIGN(g.sum_sq, r.f64());
      return ObservationStats(g);
    }
    case 1: {
      PoissonStats p;
      OVREL_TRY_ASSIGN(p.n, r.u64());
      OVREL_TRY_ASSIGN(p.sum, r.u64());
      return ObservationStats(p);
    }
    case 2: {
      BernoulliStats b;
      OVREL_TRY_ASSIGN(b.n, r.u64());
      OVREL_TRY_ASSIGN(b.ones, r.u64());
      return ObservationStats(b);
    }
    default:
      return core::invalid_input(
          cat("invalid value: integer `", index, "`, expected variant index 0 <= i < 3"));
  }
}

}  // namespace

std::size_t bincode_size(const BocpdState& s) noexcept {
  std::size_t size = head_tail_size(s) + 8 + 8 * s.log_run_probs.size() + 8;
  for (const ObservationStats& stats : s.run_stats) size += stats_size(stats);
  return size;
}

std::size_t bincode_size(const CusumState& s) noexcept { return head_tail_size(s) + 8 + 8; }

std::size_t bincode_size(const PageHinkleyState& s) noexcept { return head_tail_size(s) + 5 * 8; }

std::vector<std::uint8_t> state_to_bincode(const BocpdState& s) {
  bincode::Writer w(bincode_size(s));
  write_head(w, s);
  w.count(s.log_run_probs.size());
  for (double v : s.log_run_probs) w.f64(v);
  w.count(s.run_stats.size());
  for (const ObservationStats& stats : s.run_stats) {
    w.u32(static_cast<std::uint32_t>(stats.index()));
    std::visit(
        [&](const auto& v) {
          using T = std::decay_t<decltype(v)>;
          w.u64(v.n);
          if constexpr (std::is_same_v<T, GaussianStats>) {
            w.f64(v.sum);
            w.f64(v.sum_sq);
          } else if constexpr (std::is_same_v<T, PoissonStats>) {
            w.u64(v.sum);
          } else {
            w.u64(v.ones);
          }
        },
        stats);
  }
  write_tail(w, s);
  return std::move(w).finish();
}

std::vector<std::uint8_t> state_to_bincode(const CusumState& s) {
  bincode::Writer w(bincode_size(s));
  write_head(w, s);
  w.f64(s.score);
  w.u64(s.steps_since_alert);
  write_tail(w, s);
  return std::move(w).finish();
}

std::vector<std::uint8_t> state_to_bincode(const PageHinkleyState& s) {
  bincode::Writer w(bincode_size(s));
  write_head(w, s);
  w.u64(s.n);
  w.f64(s.running_mean);
  w.f64(s.cumulative_sum);
  w.f64(s.cumulative_min);
  w.u64(s.steps_since_alert);
  write_tail(w, s);
  return std::move(w).finish();
}

Result<BocpdState> bocpd_state_from_bincode(std::span<const std::uint8_t> bytes) {
  bincode::Reader r(bytes);
  BocpdState s;
  OVREL_TRY(read_head(r, s));
  OVREL_TRY_ASSIGN(std::size_t n_probs, r.count(8));
  s.log_run_probs.resize(n_probs);
  for (double& v : s.log_run_probs) {
    OVREL_TRY_ASSIGN(v, r.f64());
  }
  OVREL_TRY_ASSIGN(std::size_t n_stats, r.count(kSmallestStatsSize));
  s.run_stats.reserve(n_stats);
  for (std::size_t i = 0; i < n_stats; ++i) {
    OVREL_TRY_ASSIGN(ObservationStats stats, read_stats(r));
    s.run_stats.push_back(stats);
  }
  OVREL_TRY(read_tail(r, s));
  return s;
}

Result<CusumState> cusum_state_from_bincode(std::span<const std::uint8_t> bytes) {
  bincode::Reader r(bytes);
  CusumState s;
  OVREL_TRY(read_head(r, s));
  OVREL_TRY_ASSIGN(s.score, r.f64());
  OVREL_TRY_ASSIGN(s.steps_since_alert, r.u64());
  OVREL_TRY(read_tail(r, s));
  return s;
}

Result<PageHinkleyState> page_hinkley_state_from_bincode(std::span<const std::uint8_t> bytes) {
  bincode::Reader r(bytes);
  PageHinkleyState s;
  OVREL_TRY(read_head(r, s));
  OVREL_TRY_ASSIGN(s.n, r.u64());
  OVREL_TRY_ASSIGN(s.running_mean, r.f64());
  OVREL_TRY_ASSIGN(s.cumulative_sum, r.f64());
  OVREL_TRY_ASSIGN(s.cumulative_min, r.f64());
  OVREL_TRY_ASSIGN(s.steps_since_alert, r.u64());
  OVREL_TRY(read_tail(r, s));
  return s;
}

}  // namespace ovrel::checkpoint
