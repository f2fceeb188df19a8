function IsEmpty(obj) {
  return GetValue(obj).length == 0;
}
