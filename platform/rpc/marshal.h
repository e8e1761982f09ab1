// Marshalling from one declaration per interface.
//
// An interface is made transportable by listing its methods once, in slot order (a derived
// interface lists its base's methods first), with each method's parameter count and, where the
// C++ type does not say it all, annotations:
//
//   #define MY_EVENTS_METHODS(M)  M(PostFound, 1) M(StateChanged, 2)
//   #define MY_EVENTS_EX_METHODS(M) MY_EVENTS_METHODS(M) M(PostWithoutChanges, 2)
//   NORVALT_RPC_INTERFACE(my::IEvents, MY_EVENTS_METHODS)
//   NORVALT_RPC_INTERFACE(my::IEventsEx, MY_EVENTS_EX_METHODS)
//
// From that one list come the proxy class (every method overridden, so a wrong count or a
// missing method does not compile), the method table the stub dispatches by, and the decoders.
// Parameter types come from the C++ signatures:
//   V, const V&            in value (integers, enums, bool, float, double, Currency, GUID,
//                          FILETIME, WideString, Variant, records declared with
//                          NORVALT_RPC_RECORD or a Codec specialisation)
//   V*                     out value
//   I* / I**               in / out interface pointer (I derives from IUnknown)
//   const char16_t*        in string (null allowed)
//   char16_t**             out string allocated with CoTaskMemAlloc
//   R**                    out record (a class with a Codec) the callee allocates with
//                          CoTaskMemAlloc; null travels
// Annotations, by parameter index (0-based):
//   SizeIs<p, n>           const E* p: in array of param n elements (elements that own task
//                          memory are the callee's to read only, given back after the call);
//                          E** p: out array the callee allocates with CoTaskMemAlloc, param n
//                          elements after the call
//                          (elements constructed in place; the receiver destroys them)
//   InSizeIs<p, n>         E* p that is an in array (declared without const)
//   IidIs<p, k>            void** p: out interface whose IID is param k
//   Unique<p>              V* / const V* p: optional in value (null allowed)
//   OptionalOut<p>         V* p: optional out value; a null pointer reaches the callee as null
//   FillIs<p, r, f>        E* p: out array the caller allocates with room for param r (an in
//                          count) elements; param f (an out count, OptionalOut allowed) of them
//                          are valid after the call. The receiver allocates room only for what
//                          a reply can carry and passes the callee that smaller room; with f
//                          null, a result of S_OK means the whole room was filled
// Array elements and out records that own memory (task strings, records holding them,
// interface pointers) are given back through Elem<E>::Free wherever a message is dropped.
// Every method returns HRESULT.
#pragma once

// The parts, each including those it builds on: value codecs (codecs.h), the interface table
// and the calls into the connection (interface_info.h), annotations (annotations.h), parameter
// kinds (params.h), methods (methods.h) and the declaration macros (interface_macro.h).
#include "platform/rpc/annotations.h"
#include "platform/rpc/codecs.h"
#include "platform/rpc/interface_info.h"
#include "platform/rpc/interface_macro.h"
#include "platform/rpc/methods.h"
#include "platform/rpc/params.h"
