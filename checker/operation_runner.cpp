#include "checker/operation_runner.h"

#include <atomic>

#include "checker/certificates.h"

namespace kv::check {

namespace {

// Stands where the server's descriptor has its vtable; a provider never calls through it.
const void* const stand_in_vtable[4] = {};

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
  int position = 0;
  for (const argument& given : call.arguments) {
    void* placed = nullptr;
    switch (given.kind) {
      case argument_kind::text:
        placed = pages_.hand_out(given.text.c_str(), (given.text.size() + 1) * sizeof(wchar_t), index, given.name);
        if (!placed) return false;
        break;
      case argument_kind::null_text:
        break;
      case argument_kind::guid:
        placed = pages_.hand_out(&given.id, sizeof given.id, index, given.name);
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
        placed = pages_.hand_out(&descriptor, sizeof descriptor, index, given.name);
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

  // Written by the worker thread, read here only after it ended.
  std::atomic<call_stage> stage{call_stage::creating};
  provider_answers answers;
  HRESULT created = E_FAIL;
  const wchar_t* creation_step = L"DllGetClassObject";
  HRESULT answer = S_OK;
  ULONG release_answer = 0;
  pages_.set_current_call(index);
  outcome.worker = threads_.run([&] {
    kv::com_ptr<IClassFactory> factory;
    created = module_.get_class_object(CLSID_KeystoreProvider, IID_IClassFactory, factory.put_void());
    if (FAILED(created) || !factory) {
      factory.release();  // what a failing call left there is no reference
      if (SUCCEEDED(created)) created = E_POINTER;
      return;
    }
    creation_step = L"CreateInstance";
    IKeystoreProvider* provider = nullptr;
    created = factory->CreateInstance(nullptr, IID_IKeystoreProvider, reinterpret_cast<void**>(&provider));
    factory.reset();
    if (FAILED(created) || !provider) {
      if (SUCCEEDED(created)) created = E_POINTER;
      return;
    }
    stage = call_stage::calling;
    answer = invoke(call.op, provider, in, answers);
    stage = call_stage::releasing;
    release_answer = provider->Release();
    stage = call_stage::done;
  });
  pages_.set_current_call(-1);
  outcome.stage = stage.load();
  if (!outcome.returned()) {
    if (outcome.worker.ended == job_end::how::exception && outcome.stage != call_stage::creating &&
        outcome.stage != call_stage::done) {
      ++abandoned_;
    }
    // The hung thread is suspended: what it was given is neither read nor poisoned.
    if (outcome.worker.ended == job_end::how::hung) return true;
  }
  outcome.created = created;
  outcome.creation_step = creation_step;
  outcome.answer = answer;
  outcome.released = outcome.stage == call_stage::done;
  outcome.release_answer = release_answer;
  outcome.number = answers.number;
  outcome.text = answers.text;
  outcome.text_seen = examine_bstr(answers.text);
  // Only a real BSTR is freed; anything else would corrupt the checker's heap.
  if (answers.text && outcome.text_seen.real) texts_.emplace_back(answers.text);

  pages_.poison(index);
  for (certificate_lease& lease : leases) {
    const bool kept = lease.close_and_check_kept();
    if (!certificate_checks_) continue;
    ++outcome.certificates_checked;
    outcome.certificates_kept += kept;
  }
  return true;
}

}  // namespace kv::check
