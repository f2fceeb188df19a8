function IsInRange(obj, low, high, empty) {
  var str = GetValue(obj);
  if (empty && str.length == 0) return true;
  return (parseInt(str) >= low) && (parseInt(str) <= high);
}
