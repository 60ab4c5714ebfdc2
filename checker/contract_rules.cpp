#include "checker/contract_rules.h"

#include <cstdint>
#include <functional>
#include <vector>

#include "checker/operations.h"
#include "checker/out_texts.h"
#include "win/owners.h"

namespace kv::check {

namespace {

// A class and an interface that nothing serves.
constexpr GUID unknown_class = {0x6C1F0D3A, 0x51E2, 0x4B8F, {0x9A, 0x41, 0x3D, 0x0E, 0x77, 0x5B, 0x12, 0xC8}};
constexpr GUID unknown_interface = {0x0F3B9E52, 0x7A44, 0x4C19, {0xB2, 0x6D, 0x58, 0xE1, 0x03, 0x9C, 0x4A, 0x7F}};

// What an out pointer holds before the call, so that one left unwritten shows; never released.
void* const unwritten = reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x7EEDDEAD0000));

void release_if_made(HRESULT hr, void* object) {
  if (SUCCEEDED(hr) && object && object != unwritten) static_cast<IUnknown*>(object)->Release();
}

// An outer object for the aggregation request; it answers nothing, and a factory that refuses
// aggregation never calls it.
class stand_in_outer final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    if (object) *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

std::wstring seconds_text(DWORD milliseconds) { return std::to_wstring(milliseconds / 1000) + L" seconds"; }

// Runs provider code that is no operation; an exception or a hang is reported against `what`.
bool run_job(isolation& threads, const std::wstring& what, std::function<void()> job, report& results) {
  const job_end end = threads.run(std::move(job));
  switch (end.ended) {
    case job_end::how::finished:
      results.passed(rule::no_exception);
      results.passed(rule::time_limit);
      return true;
    case job_end::how::exception:
      results.failed(rule::no_exception, what, describe_exception(end) + L" left the provider");
      return false;
    case job_end::how::hung:
      results.failed(rule::time_limit, what,
                     L"no answer within " + seconds_text(threads.time_limit_ms()) + L"; the checker stopped here");
      return false;
    case job_end::how::not_started:
      return false;
  }
  return false;
}

// A refusal: a failure (`wanted` exactly, unless it is S_OK) and a NULL out pointer, which COM's
// callers may otherwise release.
void expect_refusal(report& results, rule which, const std::wstring& call, HRESULT answer, void* object,
                    HRESULT wanted, const wchar_t* why) {
  if (SUCCEEDED(answer)) {
    results.failed(which, call, L"answered " + describe_hresult(answer) + L": " + why);
  } else if (wanted != S_OK && answer != wanted) {
    results.failed(which, call, L"answered " + describe_hresult(answer) + L", not " + describe_hresult(wanted));
  } else if (object) {
    results.failed(which, call, L"answered " + describe_hresult(answer) + L" but did not set the out pointer to NULL");
  } else {
    results.passed(which);
  }
}

std::wstring answer_code_problem(HRESULT answer) {
  const auto bits = static_cast<std::uint32_t>(answer);
  if (answer > 1 && answer < 0x10000) {
    return L"a bare number, not an HRESULT (a Win32 error code given as it is?): the server passes it on as a "
           L"success; answer HRESULT_FROM_WIN32(code)";
  }
  // Severity and the reserved bit set, the NTSTATUS-mapping bit clear: an NTSTATUS, not an HRESULT.
  if ((bits & 0xC0000000u) == 0xC0000000u && !(bits & 0x10000000u)) {
    return L"an NTSTATUS, not an HRESULT; answer HRESULT_FROM_NT(status)";
  }
  return {};
}

const wchar_t* stage_text(call_stage stage) {
  switch (stage) {
    case call_stage::creating:
      return L"DllGetClassObject or CreateInstance";
    case call_stage::calling:
      return L"the call";
    case call_stage::releasing:
      return L"Release";
    case call_stage::done:
      break;
  }
  return L"the provider";
}

void judge_out_text(const call_spec& call, const std::wstring& shown, const call_outcome& outcome, report& results) {
  const answer_form form = form_of(call.op);
  if (form == answer_form::none || form == answer_form::number) return;
  if (!outcome.text_seen.real) {
    results.failed(rule::out_text, shown,
                   L"answered " + describe_hresult(outcome.answer) + L" with an out text that is no BSTR: " +
                       outcome.text_seen.problem);
    return;
  }
  results.passed(rule::out_text);
  const wchar_t* text = outcome.real_text();
  if (!text || !answer_is_read(call.op, outcome.answer)) return;
  const UINT units = outcome.text_seen.units;
  std::vector<std::wstring> passed_on;
  if (form == answer_form::path_list) {
    const std::wstring problem = path_list_problem(text, units);
    if (problem.empty()) {
      results.passed(rule::path_list);
    } else {
      results.failed(rule::path_list, shown, L"answered the list " + shown_text(text, units) + L": " + problem);
    }
    passed_on = path_list_entries(text, units);
  } else {
    const std::wstring problem = single_path_problem(text, units);
    if (problem.empty()) {
      results.passed(rule::single_path);
    } else {
      results.failed(rule::single_path, shown, L"answered " + shown_text(text, units) + L": " + problem);
    }
    passed_on.push_back(single_path_text(text, units));
  }
  for (const std::wstring& entry : passed_on) {
    const std::wstring problem = xml_character_problem(entry);
    if (problem.empty()) {
      results.passed(rule::xml_characters);
    } else {
      results.failed(rule::xml_characters, shown,
                     L"answered " + shown_text(entry.c_str(), entry.size()) + L" with " + problem);
    }
  }
}

}  // namespace

void judge_call(const call_spec& call, const call_outcome& outcome, DWORD time_limit_ms, report& results) {
  const std::wstring shown = describe(call);
  switch (outcome.worker.ended) {
    case job_end::how::not_started:
      return;
    case job_end::how::hung:
      results.failed(rule::time_limit, shown,
                     L"no answer within " + seconds_text(time_limit_ms) + L"; the checker stopped here");
      return;
    case job_end::how::exception:
      results.passed(rule::time_limit);
      results.failed(rule::no_exception, shown,
                     describe_exception(outcome.worker) + L" left " + stage_text(outcome.stage) +
                         L"; the checker went on with a new object");
      return;
    case job_end::how::finished:
      results.passed(rule::time_limit);
      results.passed(rule::no_exception);
      break;
  }
  if (FAILED(outcome.created)) {
    results.failed(rule::factory_interfaces, shown,
                   std::wstring(outcome.creation_step) + L" answered " + describe_hresult(outcome.created) +
                       L" for IKeystoreProvider, so the server could not make this call");
    return;
  }
  const std::wstring code_problem = answer_code_problem(outcome.answer);
  if (code_problem.empty()) {
    results.passed(rule::answer_code);
  } else {
    results.failed(rule::answer_code, shown, L"answered " + describe_hresult(outcome.answer) + L", " + code_problem);
  }
  judge_out_text(call, shown, outcome, results);
  if (outcome.released) {
    if (outcome.release_answer == 0) {
      results.passed(rule::last_release);
    } else {
      results.failed(rule::last_release, shown,
                     L"the Release right after the call answered " + std::to_wstring(outcome.release_answer) +
                         L", not 0: the object outlives the server's only reference");
    }
  }
  if (outcome.certificates_kept > 0) {
    results.failed(rule::certificate_freed, shown,
                   L"a duplicate of the certificate context was still referenced after the object was released "
                   L"(CertCloseStore with CERT_CLOSE_STORE_CHECK_FLAG: CRYPT_E_PENDING_CLOSE); free every "
                   L"duplicate with CertFreeCertificateContext");
  } else if (outcome.certificates_checked > 0) {
    results.passed(rule::certificate_freed);
  }
}

bool run_and_judge(operation_runner& runner, const call_spec& call, call_outcome& outcome, report& results) {
  if (!runner.run(call, outcome)) return false;
  judge_call(call, outcome, runner.time_limit_ms(), results);
  return outcome.returned();
}

bool check_class_object(const provider_module& module, isolation& threads, report& results, std::wstring& problem) {
  HRESULT answer = E_FAIL;
  const std::wstring what = L"DllGetClassObject(CLSID_KeystoreProvider, IID_IClassFactory)";
  const bool finished = run_job(threads, what, [&] {
    kv::com_ptr<IClassFactory> factory;
    answer = module.get_class_object(CLSID_KeystoreProvider, IID_IClassFactory, factory.put_void());
    if (FAILED(answer) || !factory) {
      factory.release();
      if (SUCCEEDED(answer)) answer = E_POINTER;
    }
  }, results);
  if (finished && FAILED(answer)) {
    problem = module.path() + L" is no keystore provider: " + what + L" answered " + describe_hresult(answer);
    return false;
  }
  return true;
}

void check_class_factory(const provider_module& module, isolation& threads, report& results) {
  struct {
    HRESULT unknown_class = S_OK;
    void* unknown_class_object = unwritten;
    HRESULT unknown_factory_interface = S_OK;
    void* unknown_factory_interface_object = unwritten;
    HRESULT class_object = E_FAIL;
    HRESULT unknown_interface = S_OK;
    void* unknown_interface_object = unwritten;
    HRESULT made_unknown = E_FAIL;
    ULONG unknown_release = 0;
    HRESULT aggregated = S_OK;
    void* aggregated_object = unwritten;
  } seen;
  const bool finished = run_job(threads, L"the class factory checks", [&] {
    seen.unknown_class = module.get_class_object(unknown_class, IID_IClassFactory, &seen.unknown_class_object);
    release_if_made(seen.unknown_class, seen.unknown_class_object);
    seen.unknown_factory_interface =
        module.get_class_object(CLSID_KeystoreProvider, unknown_interface, &seen.unknown_factory_interface_object);
    release_if_made(seen.unknown_factory_interface, seen.unknown_factory_interface_object);
    kv::com_ptr<IClassFactory> factory;
    seen.class_object = module.get_class_object(CLSID_KeystoreProvider, IID_IClassFactory, factory.put_void());
    if (FAILED(seen.class_object) || !factory) {
      factory.release();
      return;
    }
    seen.unknown_interface = factory->CreateInstance(nullptr, unknown_interface, &seen.unknown_interface_object);
    release_if_made(seen.unknown_interface, seen.unknown_interface_object);
    IUnknown* unknown = nullptr;
    seen.made_unknown = factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&unknown));
    if (SUCCEEDED(seen.made_unknown) && unknown) seen.unknown_release = unknown->Release();
    stand_in_outer outer;
    seen.aggregated = factory->CreateInstance(&outer, IID_IUnknown, &seen.aggregated_object);
    release_if_made(seen.aggregated, seen.aggregated_object);
  }, results);
  if (!finished || FAILED(seen.class_object)) return;

  expect_refusal(results, rule::factory_interfaces, L"DllGetClassObject(<an unknown class>, IID_IClassFactory)",
                 seen.unknown_class, seen.unknown_class_object, S_OK,
                 L"a class object for a class the DLL does not serve");
  expect_refusal(results, rule::factory_interfaces,
                 L"DllGetClassObject(CLSID_KeystoreProvider, <an unknown interface>)", seen.unknown_factory_interface,
                 seen.unknown_factory_interface_object, S_OK, L"a class object answering an interface it cannot have");
  expect_refusal(results, rule::factory_interfaces, L"IClassFactory::CreateInstance(NULL, <an unknown interface>)",
                 seen.unknown_interface, seen.unknown_interface_object, E_NOINTERFACE,
                 L"an object for an interface it does not have");
  const std::wstring made_unknown = L"IClassFactory::CreateInstance(NULL, IID_IUnknown)";
  if (FAILED(seen.made_unknown)) {
    results.failed(rule::factory_interfaces, made_unknown,
                   L"answered " + describe_hresult(seen.made_unknown) + L": every COM object answers IUnknown");
  } else if (seen.unknown_release != 0) {
    results.failed(rule::last_release, made_unknown + L", then Release",
                   L"the only Release answered " + std::to_wstring(seen.unknown_release) + L", not 0");
  }
  expect_refusal(results, rule::factory_aggregation, L"IClassFactory::CreateInstance(<an outer object>, IID_IUnknown)",
                 seen.aggregated, seen.aggregated_object, CLASS_E_NOAGGREGATION,
                 L"it took an outer object; a provider refuses aggregation");
}

namespace {

// What the QueryInterface checks saw. The pointers are compared, never called once the job ended.
struct query_interface_seen {
  HRESULT made = E_FAIL;
  HRESULT to_unknown = E_FAIL;
  IUnknown* unknown = nullptr;
  IUnknown* unknown_again = nullptr;
  HRESULT reflexive = E_FAIL;
  HRESULT symmetric = E_FAIL;
  HRESULT back_to_unknown = E_FAIL;
  IUnknown* back = nullptr;
  HRESULT unknown_interface = S_OK;
  void* unknown_interface_object = unwritten;
  ULONG last_release = 0;
};

// On the isolation's thread: one new object asked for IUnknown twice, for IKeystoreProvider, from
// its IUnknown there and back, and for an unknown interface; every reference got is released,
// then the object.
void ask_query_interface(const provider_module& module, query_interface_seen& seen) {
  kv::com_ptr<IClassFactory> factory;
  if (FAILED(module.get_class_object(CLSID_KeystoreProvider, IID_IClassFactory, factory.put_void())) || !factory) {
    factory.release();
    return;
  }
  IKeystoreProvider* provider = nullptr;
  seen.made = factory->CreateInstance(nullptr, IID_IKeystoreProvider, reinterpret_cast<void**>(&provider));
  factory.reset();
  if (FAILED(seen.made) || !provider) {
    seen.made = FAILED(seen.made) ? seen.made : E_POINTER;
    return;
  }
  std::vector<IUnknown*> held;
  seen.to_unknown = provider->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&seen.unknown));
  if (SUCCEEDED(seen.to_unknown) && seen.unknown) held.push_back(seen.unknown);
  if (SUCCEEDED(provider->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&seen.unknown_again))) &&
      seen.unknown_again) {
    held.push_back(seen.unknown_again);
  }
  IKeystoreProvider* same = nullptr;
  seen.reflexive = provider->QueryInterface(IID_IKeystoreProvider, reinterpret_cast<void**>(&same));
  if (SUCCEEDED(seen.reflexive) && same) held.push_back(same);
  IKeystoreProvider* from_unknown = nullptr;
  if (SUCCEEDED(seen.to_unknown) && seen.unknown) {
    seen.symmetric = seen.unknown->QueryInterface(IID_IKeystoreProvider, reinterpret_cast<void**>(&from_unknown));
    if (SUCCEEDED(seen.symmetric) && from_unknown) {
      held.push_back(from_unknown);
      seen.back_to_unknown = from_unknown->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&seen.back));
      if (SUCCEEDED(seen.back_to_unknown) && seen.back) held.push_back(seen.back);
    }
  }
  seen.unknown_interface = provider->QueryInterface(unknown_interface, &seen.unknown_interface_object);
  release_if_made(seen.unknown_interface, seen.unknown_interface_object);
  for (IUnknown* reference : held) reference->Release();
  seen.last_release = provider->Release();
}

// QueryInterface's rules of identity, reflexivity and symmetry against what it answered.
void judge_query_interface(const query_interface_seen& seen, report& results) {
  const std::wstring on_provider = L"QueryInterface(IID_IUnknown) on the IKeystoreProvider pointer";
  bool kept = true;
  auto fail = [&](const std::wstring& call, const std::wstring& what) {
    results.failed(rule::query_interface, call, what);
    kept = false;
  };
  if (FAILED(seen.to_unknown) || !seen.unknown) {
    fail(on_provider, L"answered " + describe_hresult(seen.to_unknown) + L": every COM object answers IUnknown");
  } else if (seen.unknown_again != seen.unknown) {
    fail(on_provider + L", twice", L"answered two different pointers: the IUnknown pointer is the object's identity");
  }
  if (FAILED(seen.reflexive)) {
    fail(L"QueryInterface(IID_IKeystoreProvider) on the IKeystoreProvider pointer",
         L"answered " + describe_hresult(seen.reflexive) + L": QueryInterface must be reflexive");
  }
  if (SUCCEEDED(seen.to_unknown) && seen.unknown) {
    if (FAILED(seen.symmetric)) {
      fail(L"QueryInterface(IID_IKeystoreProvider) on the object's IUnknown",
           L"answered " + describe_hresult(seen.symmetric) + L": QueryInterface must be symmetric");
    } else if (seen.back != seen.unknown) {
      fail(L"QueryInterface(IID_IUnknown) on the IKeystoreProvider that the IUnknown answered",
           L"answered another IUnknown than the object's: the IUnknown pointer is the object's identity");
    }
  }
  if (SUCCEEDED(seen.unknown_interface) || seen.unknown_interface != E_NOINTERFACE ||
      seen.unknown_interface_object) {
    fail(L"QueryInterface(<an unknown interface>) on the IKeystoreProvider pointer",
         L"answered " + describe_hresult(seen.unknown_interface) +
             (seen.unknown_interface_object && FAILED(seen.unknown_interface)
                  ? L" and did not set the out pointer to NULL"
                  : L"; an unknown interface is refused with E_NOINTERFACE"));
  }
  if (kept) results.passed(rule::query_interface);
}

}  // namespace

void check_query_interface(const provider_module& module, isolation& threads, report& results) {
  query_interface_seen seen;
  const bool finished =
      run_job(threads, L"the QueryInterface checks", [&] { ask_query_interface(module, seen); }, results);
  if (!finished || FAILED(seen.made)) return;
  judge_query_interface(seen, results);
  if (seen.last_release != 0) {
    results.failed(rule::last_release, L"the last Release after the QueryInterface checks",
                   L"answered " + std::to_wstring(seen.last_release) + L", not 0");
  } else {
    results.passed(rule::last_release);
  }
}

namespace {

struct lifetime_seen {
  HRESULT before = S_FALSE;
  HRESULT made_first = E_FAIL;
  HRESULT made_second = E_FAIL;
  HRESULT while_both = S_FALSE;
  HRESULT while_one = S_FALSE;
  HRESULT after_both = S_FALSE;
  ULONG first_release = 0;
  ULONG second_release = 0;
};

// On the isolation's thread: two objects made, then released one after the other, with
// DllCanUnloadNow asked before, while both live, while one lives and after both.
void make_and_release_two(const provider_module& module, lifetime_seen& seen) {
  seen.before = module.can_unload_now();
  kv::com_ptr<IClassFactory> factory;
  if (FAILED(module.get_class_object(CLSID_KeystoreProvider, IID_IClassFactory, factory.put_void())) || !factory) {
    factory.release();
    return;
  }
  IKeystoreProvider* first = nullptr;
  IKeystoreProvider* second = nullptr;
  seen.made_first = factory->CreateInstance(nullptr, IID_IKeystoreProvider, reinterpret_cast<void**>(&first));
  seen.made_second = factory->CreateInstance(nullptr, IID_IKeystoreProvider, reinterpret_cast<void**>(&second));
  // Held only while making the objects, as CoCreateInstance does.
  factory.reset();
  if (FAILED(seen.made_first) || FAILED(seen.made_second) || !first || !second) {
    if (SUCCEEDED(seen.made_first) && first) first->Release();
    if (SUCCEEDED(seen.made_second) && second) second->Release();
    seen.made_first = E_FAIL;
    return;
  }
  seen.while_both = module.can_unload_now();
  seen.first_release = first->Release();
  seen.while_one = module.can_unload_now();
  seen.second_release = second->Release();
  seen.after_both = module.can_unload_now();
}

// The two last Releases, and DllCanUnloadNow in between where it counts objects at all; answers
// whether it does.
bool judge_object_lifetime(const lifetime_seen& seen, report& results) {
  bool kept = true;
  auto fail = [&](const std::wstring& call, const std::wstring& what) {
    results.failed(rule::last_release, call, what);
    kept = false;
  };
  if (seen.first_release != 0) {
    fail(L"Release of the first of two objects", L"answered " + std::to_wstring(seen.first_release) + L", not 0");
  }
  if (seen.second_release != 0) {
    fail(L"Release of the second of two objects", L"answered " + std::to_wstring(seen.second_release) + L", not 0");
  }
  // A module that answers S_FALSE with nothing alive keeps itself loaded for reasons of its own:
  // its objects cannot be counted this way.
  const bool counts = seen.before == S_OK;
  if (counts) {
    if (seen.while_both == S_OK) {
      fail(L"DllCanUnloadNow while two objects live", L"answered S_OK: COM may unload the DLL under live objects");
    } else if (seen.while_one == S_OK) {
      fail(L"DllCanUnloadNow while one of two objects lives",
           L"answered S_OK: COM may unload the DLL under a live object");
    }
    if (seen.after_both != S_OK) {
      fail(L"DllCanUnloadNow after both objects were released",
           L"answered " + describe_hresult(seen.after_both) +
               L": an object was not freed by its last Release, or the module still counts it");
    }
  }
  if (kept) results.passed(rule::last_release);
  return counts;
}

}  // namespace

bool check_object_lifetime(const provider_module& module, isolation& threads, report& results) {
  lifetime_seen seen;
  const bool finished =
      run_job(threads, L"the object lifetime check", [&] { make_and_release_two(module, seen); }, results);
  if (!finished || FAILED(seen.made_first)) return false;
  return judge_object_lifetime(seen, results);
}

void judge_whole_run(const operation_runner& runner, const argument_pages& pages, const provider_module& module,
                     isolation& threads, bool unload_counts_objects, report& results) {
  for (const argument_pages::touch& found : pages.touches()) {
    const std::wstring during = found.during_call >= 0 ? L"during " + runner.description_of(found.during_call)
                                                       : std::wstring(L"between the checker's calls");
    results.failed(rule::arguments_not_kept, runner.description_of(found.owner_call),
                   L"its argument " + std::wstring(found.argument) +
                       L" was touched after the object was released, " + during +
                       L"; copy what must be kept before the call returns");
  }
  if (runner.calls_made() > 0) results.passed(rule::arguments_not_kept);

  if (!unload_counts_objects || runner.abandoned_objects() > 0 || threads.stopped()) return;
  HRESULT after = S_OK;
  const std::wstring what = L"DllCanUnloadNow after the last operation";
  if (!run_job(threads, what, [&] { after = module.can_unload_now(); }, results)) return;
  if (after == S_OK) {
    results.passed(rule::last_release);
  } else {
    results.failed(rule::last_release, what,
                   L"answered " + describe_hresult(after) +
                       L": an object one of the operations made was not freed by its last Release");
  }
}

}  // namespace kv::check
