// The generated DoDadev.tlb as a client's IDispatch machinery sees it.
#include <gtest/gtest.h>

#include <string>

#include "proxy/dodadev_h.h"
#include "proxy_test_support.h"
#include "tests/support/hresult_assert.h"
#include "win/owners.h"

namespace {

using proxy_test::com_ptr;

// The OLE Automation library (stdole2.tlb), where IDispatch comes from.
constexpr GUID libid_stdole = {0x00020430, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

std::wstring text_of(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : L"<null>"; }

struct documentation {
  std::wstring name;
  std::wstring help;
};

template <typename Owner, typename Index>
documentation document_of(Owner* owner, Index index) {
  kv::unique_bstr name, help;
  EXPECT_HR(S_OK, owner->GetDocumentation(index, name.put(), help.put(), nullptr, nullptr));
  return {text_of(name.get()), text_of(help.get())};
}

// A copy, so that the tests need not pair every GetTypeAttr with its release.
TYPEATTR attributes_of(ITypeInfo* info) {
  TYPEATTR* attr = nullptr;
  EXPECT_HR(S_OK, info->GetTypeAttr(&attr));
  if (!attr) return {};
  TYPEATTR copy = *attr;
  info->ReleaseTypeAttr(attr);
  return copy;
}

class typelib : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_HR(S_OK, LoadTypeLibEx(proxy_test::beside_program(L"DoDadev.tlb").c_str(), REGKIND_NONE, lib_.put()));
  }

  com_ptr<ITypeInfo> by_guid(const GUID& guid) {
    com_ptr<ITypeInfo> info;
    EXPECT_HR(S_OK, lib_->GetTypeInfoOfGuid(guid, info.put()));
    return info;
  }

  // The type that `info` implements at `index` (-1: the interface half of a dual interface).
  static com_ptr<ITypeInfo> implemented(ITypeInfo* info, UINT index) {
    com_ptr<ITypeInfo> ref_info;
    HREFTYPE ref = 0;
    EXPECT_HR(S_OK, info->GetRefTypeOfImplType(index, &ref));
    EXPECT_HR(S_OK, info->GetRefTypeInfo(ref, ref_info.put()));
    return ref_info;
  }

  com_ptr<ITypeLib> lib_;
};

TEST_F(typelib, library_has_its_id_version_platform_and_help_string) {
  kv::unique_tlibattr attr;
  ASSERT_HR(S_OK, attr.get_lib_attr(lib_.get()));
  EXPECT_EQ(attr->guid, LIBID_DoDadevLib);
  EXPECT_EQ(attr->wMajorVerNum, 1);
  EXPECT_EQ(attr->wMinorVerNum, 0);
  EXPECT_EQ(attr->syskind, SYS_WIN64);

  const documentation doc = document_of(lib_.get(), -1);
  EXPECT_EQ(doc.name, L"DoDadevLib");
  EXPECT_EQ(doc.help, L"DoDadev 1.0 Type Library");
  // The interface and the class, nothing else.
  EXPECT_EQ(lib_->GetTypeInfoCount(), 2u);
}

TEST_F(typelib, interface_is_dual_nonextensible_oleautomation) {
  com_ptr<ITypeInfo> info = by_guid(IID_LU_proxy_disp_i);
  ASSERT_TRUE(info);
  const TYPEATTR dispatch = attributes_of(info.get());
  EXPECT_EQ(dispatch.typekind, TKIND_DISPATCH);
  EXPECT_EQ(dispatch.wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE), TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE);
  // The vtable half carries the full set; the loader reports oleautomation only there.
  com_ptr<ITypeInfo> vtable = implemented(info.get(), static_cast<UINT>(-1));
  ASSERT_TRUE(vtable);
  const TYPEATTR attr = attributes_of(vtable.get());
  EXPECT_EQ(attr.typekind, TKIND_INTERFACE);
  const WORD wanted = TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION;
  EXPECT_EQ(attr.wTypeFlags & wanted, wanted);

  const documentation doc = document_of(info.get(), MEMBERID_NIL);
  EXPECT_EQ(doc.name, L"LU_proxy_disp_i");
  EXPECT_EQ(doc.help, L"LU_proxy_disp_i Interface");
}

TEST_F(typelib, interface_derives_from_idispatch_of_stdole) {
  com_ptr<ITypeInfo> info = by_guid(IID_LU_proxy_disp_i);
  ASSERT_TRUE(info);
  com_ptr<ITypeInfo> vtable = implemented(info.get(), static_cast<UINT>(-1));
  ASSERT_TRUE(vtable);
  EXPECT_EQ(attributes_of(vtable.get()).typekind, TKIND_INTERFACE);
  com_ptr<ITypeInfo> base = implemented(vtable.get(), 0);
  ASSERT_TRUE(base);
  EXPECT_EQ(attributes_of(base.get()).guid, IID_IDispatch);

  com_ptr<ITypeLib> base_lib;
  UINT index = 0;
  ASSERT_HR(S_OK, base->GetContainingTypeLib(base_lib.put(), &index));
  kv::unique_tlibattr lib_attr;
  ASSERT_HR(S_OK, lib_attr.get_lib_attr(base_lib.get()));
  EXPECT_EQ(lib_attr->guid, libid_stdole);
}

TEST_F(typelib, call_function_sits_in_slot_7_with_dispid_1_and_three_parameters) {
  com_ptr<ITypeInfo> info = by_guid(IID_LU_proxy_disp_i);
  ASSERT_TRUE(info);
  com_ptr<ITypeInfo> vtable = implemented(info.get(), static_cast<UINT>(-1));
  ASSERT_TRUE(vtable);
  ASSERT_EQ(attributes_of(vtable.get()).cFuncs, 1);

  FUNCDESC* func = nullptr;
  ASSERT_HR(S_OK, vtable->GetFuncDesc(0, &func));
  EXPECT_EQ(func->memid, 1);
  EXPECT_EQ(func->funckind, FUNC_PUREVIRTUAL);
  EXPECT_EQ(func->invkind, INVOKE_FUNC);
  EXPECT_EQ(func->callconv, CC_STDCALL);
  // After IUnknown's three and IDispatch's four.
  EXPECT_EQ(func->oVft, static_cast<SHORT>(7 * sizeof(void*)));
  EXPECT_EQ(func->elemdescFunc.tdesc.vt, VT_HRESULT);
  ASSERT_EQ(func->cParams, 3);

  struct parameter_row {
    const wchar_t* name;
    VARTYPE vt;
    VARTYPE pointee;  // VT_EMPTY: not a pointer
    USHORT flags;
  };
  const parameter_row rows[] = {
      {L"arg", VT_BSTR, VT_EMPTY, PARAMFLAG_FIN},
      {L"ret", VT_PTR, VT_BSTR, PARAMFLAG_FOUT},
      {L"ret_code", VT_PTR, VT_I4, PARAMFLAG_FOUT},  // an out parameter, not the [retval]
  };
  BSTR written[4] = {};
  UINT name_count = 0;
  ASSERT_HR(S_OK, vtable->GetNames(func->memid, written, 4, &name_count));
  kv::unique_bstr names[4];
  for (int i = 0; i < 4; ++i) names[i].reset(written[i]);
  ASSERT_EQ(name_count, 4u);
  EXPECT_EQ(text_of(names[0].get()), L"call_function");
  for (int i = 0; i < 3; ++i) {
    const parameter_row& row = rows[i];
    SCOPED_TRACE(testing::Message() << "parameter " << i);
    const ELEMDESC& param = func->lprgelemdescParam[i];
    EXPECT_EQ(text_of(names[i + 1].get()), row.name);
    EXPECT_EQ(param.tdesc.vt, row.vt);
    if (row.pointee != VT_EMPTY) {
      ASSERT_NE(param.tdesc.lptdesc, nullptr);
      EXPECT_EQ(param.tdesc.lptdesc->vt, row.pointee);
    }
    EXPECT_EQ(param.paramdesc.wParamFlags, row.flags);
  }

  EXPECT_EQ(document_of(vtable.get(), func->memid).help, L"method call_function");
  vtable->ReleaseFuncDesc(func);
}

TEST_F(typelib, dispatch_clients_find_call_function_by_name) {
  com_ptr<ITypeInfo> info = by_guid(IID_LU_proxy_disp_i);
  ASSERT_TRUE(info);
  wchar_t name[] = L"call_function";
  LPOLESTR names[] = {name};
  MEMBERID id = MEMBERID_NIL;
  ASSERT_HR(S_OK, info->GetIDsOfNames(names, 1, &id));
  EXPECT_EQ(id, 1);
}

TEST_F(typelib, class_is_creatable_with_the_interface_as_default) {
  com_ptr<ITypeInfo> info = by_guid(CLSID_LU_proxy_disp);
  ASSERT_TRUE(info);
  const TYPEATTR attr = attributes_of(info.get());
  EXPECT_EQ(attr.typekind, TKIND_COCLASS);
  EXPECT_TRUE(attr.wTypeFlags & TYPEFLAG_FCANCREATE);
  ASSERT_EQ(attr.cImplTypes, 1);

  INT flags = 0;
  ASSERT_HR(S_OK, info->GetImplTypeFlags(0, &flags));
  EXPECT_TRUE(flags & IMPLTYPEFLAG_FDEFAULT);
  com_ptr<ITypeInfo> default_interface = implemented(info.get(), 0);
  ASSERT_TRUE(default_interface);
  EXPECT_EQ(attributes_of(default_interface.get()).guid, IID_LU_proxy_disp_i);

  const documentation doc = document_of(info.get(), MEMBERID_NIL);
  EXPECT_EQ(doc.name, L"LU_proxy_disp");
  EXPECT_EQ(doc.help, L"LU_proxy_disp Class");
}

}  // namespace
