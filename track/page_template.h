// The live page as the build assembles it (cmake/embed-page.cmake): the
// page's own HTML, CSS and script from track/page/ with uPlot's script and
// style sheet inlined, so that every page written is one file. It holds the
// marks @QARVEL_TITLE@ (in <title>) and @QARVEL_DATA@ (the content of the
// JSON script element), once each, in that order; WriteLivePage fills them.
#pragma once

extern const char kLivePageTemplate[];
