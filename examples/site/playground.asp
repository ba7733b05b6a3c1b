<%@ Language="JScript" %><%
// playground.asp?type=1..8&title=...&w=inches&h=inches&img=JPG|BMP|PNG|SVG&dpi=96&data=1,2,3;4,5,6
// Each ';'-separated group is a row (a category), each ','-separated value a
// column (a series). Without "draw=1" the page shows a form and the chart.
// Any client may ask, so what it asks is capped: a side of at most
// MAX_INCHES, at most MAX_VALUES values and MAX_TITLE title characters.
var MAX_INCHES = 16, MAX_VALUES = 2000, MAX_TITLE = 200;
function param(name, fallback) {
  var v = Request.QueryString(name);
  return v === undefined || v === "" ? fallback : v;
}
function inches(v) {
  var n = parseFloat(v);
  return isNaN(n) ? v : String(Math.min(n, MAX_INCHES));
}
var type = param("type", "1");
var title = String(param("title", "Playground")).substring(0, MAX_TITLE);
var w = inches(param("w", "5"));
var h = inches(param("h", "3"));
var img = param("img", "JPG");
var dpi = param("dpi", "96");
var data = param("data", "10,20,15;12,18,22;8,25,19;14,11,27");
// Rows are kept whole while the values they hold fit under the cap.
var kept = [], count = 0, given = String(data).split(";");
for (var i = 0; i < given.length; i++) {
  var n = given[i].split(",").length;
  if (count + n > MAX_VALUES) {
    if (kept.length == 0) kept.push(given[i].split(",").slice(0, MAX_VALUES).join(","));
    break;
  }
  kept.push(given[i]);
  count += n;
}
data = kept.join(";");

if (Request.QueryString("draw") == "1") {
  var rows = data.split(";");
  var chart = Server.CreateObject("Quenza.QuenzaChart");
  chart.ChartType = type;
  chart.ChartTitle = title;
  chart.Width = w;
  chart.Height = h;
  chart.ImageType = img;
  chart.Resolution = dpi;
  chart.Legends = 1;
  var columns = 1;
  for (var r = 0; r < rows.length; r++) columns = Math.max(columns, rows[r].split(",").length);
  chart.Rows(rows.length);
  chart.Columns(columns);
  for (var r = 0; r < rows.length; r++) {
    var values = rows[r].split(",");
    chart.CurrentRow(r + 1);
    chart.RowTitle("R" + (r + 1));
    for (var c = 0; c < values.length; c++) {
      chart.CurrentColumn(c + 1);
      if (r == 0) chart.ColumnTitle("S" + (c + 1));
      chart.SetData(parseFloat(values[c]) || 0);
    }
  }
  chart.SendChart();
  Response.End();
}
var q = "type=" + Server.URLEncode(type) + "&title=" + Server.URLEncode(title) + "&w=" + Server.URLEncode(w) +
        "&h=" + Server.URLEncode(h) + "&img=" + Server.URLEncode(img) + "&dpi=" + Server.URLEncode(dpi) + "&data=" + Server.URLEncode(data);
%>
<!DOCTYPE html>
<html>
<head><meta charset="utf-8"><title>Playground</title></head>
<body style="font-family: sans-serif">
<h1>Playground</h1>
<form method="get" action="playground.asp">
  <label>Type (1-8) <input name="type" value="<%= Server.HTMLEncode(type) %>" size="2"></label>
  <label>Title <input name="title" value="<%= Server.HTMLEncode(title) %>"></label>
  <label>Width (in) <input name="w" value="<%= Server.HTMLEncode(w) %>" size="3"></label>
  <label>Height (in) <input name="h" value="<%= Server.HTMLEncode(h) %>" size="3"></label>
  <label>Image <select name="img"><%
  var formats = ["JPG", "BMP", "PNG", "SVG"];
  for (var f = 0; f < formats.length; f++) { %>
    <option<%= img.toUpperCase() == formats[f] ? " selected" : "" %>><%= formats[f] %></option><% } %></select></label>
  <label>Resolution (dpi, 48-384) <input name="dpi" value="<%= Server.HTMLEncode(dpi) %>" size="3"></label>
  <label>Data <input name="data" value="<%= Server.HTMLEncode(data) %>" size="40"></label>
  <button>Draw</button>
</form>
<p>Width and height are at most <%= MAX_INCHES %> inches, the data at most
<%= MAX_VALUES %> values and the title at most <%= MAX_TITLE %> characters;
a larger request is cut to these limits.</p>
<p><img class="chart" src="playground.asp?draw=1&amp;<%= Server.HTMLEncode(q) %>" alt="chart"></p>
<p><a href="index.asp">All charts</a></p>
</body>
</html>
