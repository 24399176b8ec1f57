// The COM object NEV: the dual interface _NEV over one nev::NEV. The vtable members call the
// object directly; IDispatch goes through the member table and the late-binding invoker, so
// that script clients can pass their variables by reference as Variants.
#pragma once

// clang-format off
// windows.h comes first: the other Windows headers build on it.
#include <windows.h>
#include <oaidl.h>
// clang-format on

#include "nev/nev.h"
#include "typelib.h"

namespace nev::com {

class NEVObject final : public _NEV, public ISupportErrorInfo {
 public:
  // Creates an object and hands out the interface asked for.
  static HRESULT Create(REFIID riid, void** out);

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepinfo,
                                   UINT* arg_error) override;

  // ISupportErrorInfo
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

  // _NEV, in slot order
  HRESULT STDMETHODCALLTYPE get_SilentMode(VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE put_SilentMode(VARIANT_BOOL value) override;
  HRESULT STDMETHODCALLTYPE StopConnection(VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE InitConnection(LONG Port, LONG BaudRate, LONG StopBits, LONG Parity,
                                           LONG ByteSize, VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE PaperFeed(short Rows, VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE FiscText(BSTR text, VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE ServText(BSTR text, VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE SellArt(LONG n, double Q, double P, VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE SellTaxGroup(BSTR Name, BSTR TaxGroup, double Q, double P,
                                         VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE OpenServNote(VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE CloseServNote(VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE OpenFiscNote(BSTR casher, BSTR Pass, BSTR BS,
                                         VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE CloseFiscNote(VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE SellDep(LONG n, double Q, double P, VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE Addition(VARIANT_BOOL Proportional, BSTR V) override;
  HRESULT STDMETHODCALLTYPE SubTotal(double* Total, double* TotalA, double* TotalB, double* TotalC,
                                     VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE VoidAll(VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE AddSum(BSTR casher, BSTR Pass, double Sum, LONG Pay,
                                   VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE OpenDraw(VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE Dublicate(VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE EJournal(VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE ZDay(BSTR* result) override;
  HRESULT STDMETHODCALLTYPE ZArticles(VARIANT* result) override;
  HRESULT STDMETHODCALLTYPE ZDep(VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE ZCasher(VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE Pay(LONG PayType, double Sum, VARIANT_BOOL* result) override;
  HRESULT STDMETHODCALLTYPE GetNumberofNotes(BSTR* result) override;
  HRESULT STDMETHODCALLTYPE NoteInfo(BSTR* result) override;
  HRESULT STDMETHODCALLTYPE GetStatus(LONG* result) override;
  HRESULT STDMETHODCALLTYPE SetStatus() override;
  HRESULT STDMETHODCALLTYPE SendSerNum(BSTR* Num) override;
  HRESULT STDMETHODCALLTYPE ZDeny() override;
  HRESULT STDMETHODCALLTYPE ZAllow() override;
  HRESULT STDMETHODCALLTYPE GetTaxRates(BSTR* result) override;
  HRESULT STDMETHODCALLTYPE GetFirstFMReport(BSTR s, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE GetNextFMReport(BSTR* result) override;
  HRESULT STDMETHODCALLTYPE ECRInfo(BSTR* result) override;
  HRESULT STDMETHODCALLTYPE GetArticle(short x, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE GetDepartment(short x, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE SetArticle(BSTR n, BSTR Name, BSTR Price, unsigned char TaxG,
                                       unsigned char Dep, unsigned char Pay, unsigned char F,
                                       BSTR BC, BSTR Q) override;

 private:
  NEVObject();
  ~NEVObject();

  HRESULT TypeInfo(ITypeInfo** info);

  LONG refs_ = 1;
  nev::NEV nev_;
  ITypeInfo* type_info_ = nullptr;
};

}  // namespace nev::com
