#pragma once
// KV_keystore_provider: the COM object behind CLSID_KeystoreProvider. It checks the arguments,
// hands each call to the file keystore (provider/keystore.h) and turns the answers into the
// interface's output forms. Instances share nothing; each call stands alone.
#include <windows.h>

#include "dodadev/keystore_provider.h"
#include "provider/keystore.h"

namespace kv::provider {

// Creates an instance with `config` and asks it for `iid`. E_OUTOFMEMORY when it cannot be made.
HRESULT make_keystore_provider(const settings& config, REFIID iid, void** object);

// Live instances in this module (DllCanUnloadNow).
LONG live_keystore_providers() noexcept;

// Path lists as the interface hands them out: each path ended by NUL, the list ended by an empty
// text, in a BSTR of exactly that many code units (an empty list is one NUL).
HRESULT to_multi_string(const KV_paths& paths, BSTR* out);

}  // namespace kv::provider
