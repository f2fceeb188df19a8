function IsValidIP(obj, empty) {
  var str = GetValue(obj);
  if (empty && str.length == 0) return true;
  var fields = str.match(/^(\d{1,3})\.(\d{1,3})\.(\d{1,3})\.(\d{1,3})$/);
  if (fields != null) {
    var tmp = fields[1] | fields[2] | fields[3] | fields[4];
    return (tmp < 256) && (empty || tmp > 0);
  } else {
    return false;
  }
}
