// SPDX-License-Identifier: MIT
// A layer's includes, as its build gives them: each header named by a
// KYL_PROBE_<layer> definition, included as a layer's own code includes it.
#ifdef KYL_PROBE_kyl_platform
#include KYL_PROBE_kyl_platform
#endif
#ifdef KYL_PROBE_kyl_block
#include KYL_PROBE_kyl_block
#endif
#ifdef KYL_PROBE_kyl_transforms
#include KYL_PROBE_kyl_transforms
#endif
#ifdef KYL_PROBE_kyl_entropy
#include KYL_PROBE_kyl_entropy
#endif
#ifdef KYL_PROBE_kyl_codec
#include KYL_PROBE_kyl_codec
#endif
#ifdef KYL_PROBE_kyl_library
#include KYL_PROBE_kyl_library
#endif
#ifdef KYL_PROBE_kyl_front
#include KYL_PROBE_kyl_front
#endif
#ifdef KYL_PROBE_kylz_front
#include KYL_PROBE_kylz_front
#endif
