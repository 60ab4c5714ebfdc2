#include "checker/operation_runner.h"

#include <atomic>

#include "checker/certificates.h"

namespace kv::check {

namespace {

// Stands where the server's descriptor has its vtable; a provider never calls through it.
const void* const stand_in_vtable[4] = {};

// Each argument where the provider finds it: texts, GUIDs and certificate descriptors in pages of
// their own (a certificate from a store of its own, leased until the object is released), numbers
// and flags by value. False when the checker could not prepare one.
bool place_arguments(argument_pages& pages, const call_spec& call, int index, handed_over& in,
                     std::vector<certificate_lease>& leases) {
  int position = 0;
  for (const argument& given : call.arguments) {
    void* placed = nullptr;
    switch (given.kind) {
      case argument_kind::text:
        placed = pages.hand_out(given.text.c_str(), (given.text.size() + 1) * sizeof(wchar_t), index, given.name);
        if (!placed) return false;
        break;
      case argument_kind::null_text:
        break;
      case argument_kind::guid:
        placed = pages.hand_out(&given.id, sizeof given.id, index, given.name);
        if (!placed) return false;
        break;
      case argument_kind::certificate:
      case argument_kind::certificate_without_context: {
        KV_provider_certificate descriptor = {};
        descriptor.server_vtable = stand_in_vtable;
        descriptor.texts[0].server_vtable = stand_in_vtable;
        descriptor.texts[1].server_vtable = stand_in_vtable;
        if (given.kind == argument_kind::certificate) {
          certificate_lease lease;
          if (FAILED(lease.open())) return false;
          descriptor.context = lease.context();
          leases.push_back(std::move(lease));
        }
        placed = pages.hand_out(&descriptor, sizeof descriptor, index, given.name);
        if (!placed) return false;
        break;
      }
      case argument_kind::number:
      case argument_kind::flag:
        in.values[position] = given.value;
        break;
    }
    in.pointers[position++] = placed;
  }
  return true;
}

// What the worker thread writes; read only after it ended.
struct worker_record {
  std::atomic<call_stage> stage{call_stage::creating};
  provider_answers answers;
  HRESULT created = E_FAIL;
  const wchar_t* creation_step = L"DllGetClassObject";
  HRESULT answer = S_OK;
  ULONG release_answer = 0;
};

// On the worker thread: a new object the way the server makes one, the call, and its release.
void create_and_call(const provider_module& module, operation op, const handed_over& in, worker_record& made) {
  kv::com_ptr<IClassFactory> factory;
  made.created = module.get_class_object(CLSID_KeystoreProvider, IID_IClassFactory, factory.put_void());
  if (FAILED(made.created) || !factory) {
    factory.release();  // what a failing call left there is no reference
    if (SUCCEEDED(made.created)) made.created = E_POINTER;
    return;
  }
  made.creation_step = L"CreateInstance";
  IKeystoreProvider* provider = nullptr;
  made.created = factory->CreateInstance(nullptr, IID_IKeystoreProvider, reinterpret_cast<void**>(&provider));
  factory.reset();
  if (FAILED(made.created) || !provider) {
    if (SUCCEEDED(made.created)) made.created = E_POINTER;
    return;
  }
  made.stage = call_stage::calling;
  made.answer = invoke(op, provider, in, made.answers);
  made.stage = call_stage::releasing;
  made.release_answer = provider->Release();
  made.stage = call_stage::done;
}

// What the worker's object answered, into an outcome whose stage is known already.
void take_answers(const worker_record& made, call_outcome& outcome) {
  outcome.created = made.created;
  outcome.creation_step = made.creation_step;
  outcome.answer = made.answer;
  outcome.released = outcome.stage == call_stage::done;
  outcome.release_answer = made.release_answer;
  outcome.number = made.answers.number;
  outcome.text = made.answers.text;
  outcome.text_seen = examine_bstr(made.answers.text);
}

// Once the object is gone: whether it kept a duplicate of any certificate context it was given.
void close_leases(std::vector<certificate_lease>& leases, bool certificate_checks, call_outcome& outcome) {
  for (certificate_lease& lease : leases) {
    const bool kept = lease.close_and_check_kept();
    if (!certificate_checks) continue;
    ++outcome.certificates_checked;
    outcome.certificates_kept += kept;
  }
}

}  // namespace

operation_runner::operation_runner(const provider_module& module, isolation& threads, argument_pages& pages,
                                   bool certificate_checks)
    : module_(module), threads_(threads), pages_(pages), certificate_checks_(certificate_checks) {}

operation_runner::~operation_runner() = default;

bool operation_runner::run(const call_spec& call, call_outcome& outcome) {
  outcome = call_outcome();
  if (threads_.stopped()) {
    outcome.worker.ended = job_end::how::not_started;
    return true;
  }
  const int index = calls_made();
  descriptions_.push_back(describe(call));

  handed_over in;
  std::vector<certificate_lease> leases;
  if (!place_arguments(pages_, call, index, in, leases)) return false;

  worker_record made;
  pages_.set_current_call(index);
  outcome.worker = threads_.run([&] { create_and_call(module_, call.op, in, made); });
  pages_.set_current_call(-1);
  outcome.stage = made.stage.load();
  if (!outcome.returned()) {
    if (outcome.worker.ended == job_end::how::exception && outcome.stage != call_stage::creating &&
        outcome.stage != call_stage::done) {
      ++abandoned_;
    }
    // The hung thread is suspended: what it was given is neither read nor poisoned.
    if (outcome.worker.ended == job_end::how::hung) return true;
  }
  take_answers(made, outcome);
  // Only a real BSTR is freed; anything else would corrupt the checker's heap.
  if (made.answers.text && outcome.text_seen.real) texts_.emplace_back(made.answers.text);

  pages_.poison(index);
  close_leases(leases, certificate_checks_, outcome);
  return true;
}

}  // namespace kv::check
