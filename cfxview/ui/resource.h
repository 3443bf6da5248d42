// Numbers of the library's icons, animation clips and manifest. Plain macros:
// the resource compiler reads this file as well as the compiler.
#pragma once

// Icon groups. Their numbers give their order in the library file, and the
// overlay handlers name their icons by that order: index 0 is the document
// icon, indexes 1 to 3 are the three overlays.
#define IDI_DOCUMENT 1
#define IDI_FROZEN_OVERLAY 2
#define IDI_INACCESSIBLE_OVERLAY 3
#define IDI_KEY_OVERLAY 4
// The property page's three groups.
#define IDI_KEY_MANAGEMENT 121
#define IDI_DEFRAGMENTATION 122
#define IDI_FREEZING 130

// Animation clips (resource type "AVI"). Large, for the modern progress dialog:
#define IDR_AVI_COPY 103
#define IDR_AVI_CHECK 105
#define IDR_AVI_COPY_MANY 106
#define IDR_AVI_DELETE 107
// small, for the classic progress dialog:
#define IDR_AVI_COPY_SMALL 109
#define IDR_AVI_COPY_MANY_SMALL 110
#define IDR_AVI_CHECK_SMALL 111
#define IDR_AVI_DELETE_SMALL 112
// and for the wait dialog of analysis and defragmentation.
#define IDR_AVI_ANALYSE 124
#define IDR_AVI_DEFRAGMENT 125

// The library's manifest (ISOLATIONAWARE_MANIFEST_RESOURCE_ID), of type
// RT_MANIFEST, from which the library makes its activation context.
#define IDR_MANIFEST 2
