// Ticking or clearing "Refresh automatically" applies at once.
document.querySelectorAll("form.refresh input[type=checkbox]").forEach(function (box) {
  box.addEventListener("change", function () { box.form.submit(); });
});
