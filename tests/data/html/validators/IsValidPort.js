function IsValidPort(obj, empty) {
  var str = GetValue(obj);
  if (empty && str.length == 0) return true;
  var value = parseInt(str);
  return (value > 0) && (value < 65536);
}
