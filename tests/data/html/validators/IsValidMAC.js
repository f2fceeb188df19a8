function IsValidMAC(obj, empty) {
  var str = GetValue(obj);
  if (empty && str.length == 0) return true;
  return str.search(/^[0-9a-fA-F]{1,2}(:[0-9a-fA-F]{1,2}){5}$/) >= 0;
}
