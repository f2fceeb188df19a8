function Error(msg, obj) {
  alert(msg); obj.focus(); obj.select(); return false;
}
function GetValue(obj) {
  return obj.value.replace(/\s/g, '');
}
