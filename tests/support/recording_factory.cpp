// scoped_recording_factory: recording providers behind kv::create_keystore_provider. Kept apart
// from the provider itself so that recording_provider.dll does not pull in the product's seam.
#include <utility>

#include "proxy/provider_factory.h"
#include "tests/support/recording_provider.h"

namespace kv::test {

namespace {

std::shared_ptr<provider_journal> factory_journal;
int factory_requests = 0;

HRESULT create_recording_provider(IKeystoreProvider** provider) {
  ++factory_requests;
  const auto scripted = factory_journal->script.results.find(L"create");
  if (scripted != factory_journal->script.results.end() && FAILED(scripted->second)) return scripted->second;
  *provider = make_recording_provider(factory_journal);
  return S_OK;
}

}  // namespace

scoped_recording_factory::scoped_recording_factory(std::shared_ptr<provider_journal> journal) {
  factory_journal = std::move(journal);
  factory_requests = 0;
  kv::set_provider_factory(create_recording_provider);
}

scoped_recording_factory::~scoped_recording_factory() {
  kv::set_provider_factory(nullptr);
  factory_journal.reset();
}

int scoped_recording_factory::requests() const noexcept { return factory_requests; }

}  // namespace kv::test
