// Build facts of this runtime's coil. Its classes live in a namespace of
// the runtime's own inside coil, inline: in source they are coil::Properties
// as ever, while their link names never meet those of another runtime's
// coil in the same process (a module of ours in another host, or the
// reverse), whose classes have the same names and other layouts.
#ifndef COIL_CONFIG_COIL_H
#define COIL_CONFIG_COIL_H

#ifndef RTM_NAMESPACE_BEGIN
#define RTM_NAMESPACE_BEGIN(ns) \
  namespace ns                  \
  {                             \
  inline namespace vorlinde_rtm_1 \
  {
#define RTM_NAMESPACE_END \
  }                       \
  }
#endif

#endif
