#include "app/publication.h"

#include <cstdio>

#include "calc/computation.h"
#include "config/settings.h"
#include "result/result.h"

void PublishResult(MasterLink& link, const std::string& trainId) {
  // Late line threads may still append; only what is in the copy counts.
  TrainResult train = MergeLineResults(CopyLineResults());
  std::string document = BuildResultDocument(train, true, wideInfo);
  if (!trainId.empty()) SendResultMessages(link, trainId, document);
  if (debugMode) {
    std::string plain = BuildResultDocument(train, false, false);
    std::fprintf(stdout, "%s", plain.c_str());
  }
}
