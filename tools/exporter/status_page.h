// status_page.h - the status page that the exporter serves at "/": one self-contained HTML
// document (styles, script and chart inline; nothing fetched from elsewhere but
// /metrics.json of the same exporter). Generated into the build from status_page.html.
#pragma once

extern const char kStatusPage[];
