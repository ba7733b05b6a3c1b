<%@ Language="JScript" %>
<!DOCTYPE html>
<html>
<head><meta charset="utf-8"><title>Quenza charts</title>
<style>
body { font-family: sans-serif; margin: 2em; }
.kinds { display: flex; flex-wrap: wrap; gap: 1em; }
figure { margin: 0; }
figcaption { text-align: center; }
</style>
</head>
<body>
<h1>Quenza charts</h1>
<p>Every chart kind, each drawn by its own page on request.</p>
<div class="kinds">
<%
var kinds = [["bar2d", "2-D bar"], ["line2d", "2-D line"], ["area2d", "2-D area"], ["pie2d", "2-D pie"],
             ["bar3d", "3-D bar"], ["line3d", "3-D line"], ["area3d", "3-D area"], ["step3d", "3-D step"]];
for (var i = 0; i < kinds.length; i++) {
%>
<figure>
  <a href="<%= kinds[i][0] %>.asp"><img class="chart" src="<%= kinds[i][0] %>.asp" alt="<%= kinds[i][1] %>"></a>
  <figcaption><%= Server.HTMLEncode(kinds[i][1]) %></figcaption>
</figure>
<% } %>
<figure>
  <img class="chart" src="bar2d.asp?img=bmp" alt="2-D bar as BMP">
  <figcaption>2-D bar as BMP</figcaption>
</figure>
<figure>
  <img class="chart" src="logo.asp" alt="Chart with a logo">
  <figcaption>With a logo</figcaption>
</figure>
<figure>
  <img class="chart" src="error.asp" alt="Error chart">
  <figcaption>The error chart</figcaption>
</figure>
</div>
<h2>More</h2>
<ul>
  <li><a href="playground.asp">Playground</a>: chart type, title, size, image type and data from the query string</li>
  <li><a href="save.asp">Save a chart to a file</a> with SaveChart</li>
  <li><a href="bench.asp">The benchmark chart</a></li>
  <li><a href="vbs/index.asp">The same pages in VBScript</a></li>
</ul>
<script>
// Marks each chart image with the width it decoded to (0 when it did not
// decode), for readers and for the browser test.
window.addEventListener("load", function () {
  var images = document.querySelectorAll("img.chart");
  var decoded = 0;
  for (var i = 0; i < images.length; i++) {
    images[i].setAttribute("data-natural-width", images[i].naturalWidth);
    if (images[i].naturalWidth > 0) decoded++;
  }
  document.body.setAttribute("data-charts", images.length + " " + decoded);
});
</script>
</body>
</html>
