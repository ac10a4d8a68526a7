#include "platform/status.h"

namespace {

struct StatusText {
  OSStatus code;
  const char* name;
  const char* comment;
};

const StatusText kStatusTexts[] = {
    {noErr, "noErr", "No error"},
    {genericFailureErr, "genericFailureErr", "Generic failure"},
    {openErr, "openErr", "The file or device could not be opened"},
    {paramErr, "paramErr", "Invalid parameter"},
    {memROZErr, "memROZErr", "Operation on a read-only memory zone"},
    {memFullErr, "memFullErr", "Not enough memory"},
    {nilHandleErr, "nilHandleErr", "The handle is NULL"},
    {memAdrErr, "memAdrErr", "The address is odd or out of range"},
    {memWZErr, "memWZErr", "Operation on a free memory block"},
    {memPurErr, "memPurErr", "Cannot purge a locked or unpurgeable block"},
    {memAZErr, "memAZErr", "The address is not in the memory zone"},
    {memPCErr, "memPCErr", "Pointer check failed"},
    {memBCErr, "memBCErr", "Block check failed"},
    {memSCErr, "memSCErr", "Size check failed"},
    {memLockedErr, "memLockedErr", "Cannot move a locked block"},
    {resNotFound, "resNotFound", "Resource not found"},
    {videoOutputInUseErr, "videoOutputInUseErr", "The video output is in use"},
    {digiUnimpErr, "digiUnimpErr", "Feature not implemented by the video digitizer"},
    {qtParamErr, "qtParamErr", "Bad parameter value"},
    {badCallOrderErr, "badCallOrderErr", "Call made out of order"},
    {invalidComponentID, "invalidComponentID", "Invalid component or component instance"},
    {gestaltUndefSelectorErr, "gestaltUndefSelectorErr", "Undefined Gestalt selector"},
    {noCodecErr, "noCodecErr", "No such codec"},
    {badComponentSelector, "badComponentSelector", "The component does not implement the selector"},
};

const StatusText* Find(OSStatus err) {
  for (const StatusText& text : kStatusTexts) {
    if (text.code == err) return &text;
  }
  return nullptr;
}

}  // namespace

const char* GetMacOSStatusErrorString(OSStatus err) {
  const StatusText* text = Find(err);
  return text == nullptr ? nullptr : text->name;
}

const char* GetMacOSStatusCommentString(OSStatus err) {
  const StatusText* text = Find(err);
  return text == nullptr ? nullptr : text->comment;
}
